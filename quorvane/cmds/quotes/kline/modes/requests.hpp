// One request of each mode, as both routes serve it: its entry in the bar
// cache, what the cache can answer, and the answer to a fetch (the table
// printed, its records stored, the result record).
//
// The routes differ where the command's contract says so, and say how at
// each call: which cache hits they log, whether a fetched table is printed
// before its records are stored, and the source a result record names.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <utility>

#include "common/words.hpp"
#include "modes/cache.hpp"

namespace kline::modes {

// Where a cache hit leaves no log line.
inline constexpr const char* kUnlogged = nullptr;

// Where `run` names the source of a result record.
inline constexpr const char* kSourceNamedByRun = nullptr;

// Whether a fetched table is printed before its records are stored, or after.
enum class Order { PrintThenStore, StoreThenPrint };

// One request's entry in the process's bar cache.
class CacheEntry {
   public:
    // The entry keyed KlineCache.<builder>(parts...).
    template <typename... Parts>
    explicit CacheEntry(const char* builder, Parts&&... parts)
        : cache_(bar_cache()), key_(cache_key(builder, std::forward<Parts>(parts)...)) {}

    nb::object get() const;  // None when absent
    // An awaitable that brings the entry from the lasting store into memory
    // off the event loop (the cache's `recall`), so `get` then finds it there;
    // a cache without `recall` is left to `get`.
    nb::object recall() const;
    void set(nb::handle bars) const;
    const nb::object& cache() const { return cache_; }

    // Prints `frame` under `title` and stores `records`, in `order`.
    void keep(nb::handle frame, nb::handle records, nb::handle title, Order order) const;

   private:
    nb::object cache_;
    nb::object key_;
};

// What the three modes' requests share: the symbol, the cache entry, and
// the answer to a fetch. Each mode says how its result record looks.
class Request {
   public:
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    // Keeps a fetched table and answers with its records; `source` is the
    // record's "source", or kSourceNamedByRun.
    nb::dict fetched(nb::handle frame, nb::handle records, nb::handle title, Order order,
                     const char* source) const;

    // See CacheEntry::recall: awaited before `cached`.
    nb::object recall() const { return entry_.recall(); }

   protected:
    template <typename... Parts>
    Request(nb::handle symbol, const char* key_builder, Parts&&... key_parts)
        : symbol_(symbol), entry_(key_builder, symbol, std::forward<Parts>(key_parts)...) {}
    ~Request() = default;

    virtual nb::dict record(nb::handle bars) const = 0;

    nb::handle symbol_;
    CacheEntry entry_;
};

// kline <symbol> [period] [count] [adj]
class LatestRequest final : public Request {
   public:
    LatestRequest(nb::handle symbol, const words::Latest& asked);

    // The cached candles: this request's own entry, or the last bars of an
    // entry for a larger count, then stored under this request's key. Each
    // hit logs its line, unless it is kUnlogged.
    std::optional<nb::dict> cached(const char* exact_hit_line, const char* larger_hit_line) const;

   private:
    nb::dict record(nb::handle bars) const override;
    const words::Latest& asked_;
};

// kline <symbol> <start> [end] [period] [adj]
class RangeRequest final : public Request {
   public:
    RangeRequest(nb::handle symbol, const words::Range& asked, nb::handle start_text, nb::handle end_text);
    std::optional<nb::dict> cached(const char* hit_line) const;

   private:
    nb::dict record(nb::handle bars) const override;
    const words::Range& asked_;
    nb::handle start_text_, end_text_;
};

// kline <symbol> intraday
class IntradayRequest final : public Request {
   public:
    explicit IntradayRequest(nb::handle symbol);
    std::optional<nb::dict> cached(const char* hit_line) const;  // its source is "cache"

   private:
    nb::dict record(nb::handle bars) const override;
};

}  // namespace kline::modes
