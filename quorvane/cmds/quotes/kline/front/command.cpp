// IOpKline: the command class, built the way a class statement would build
// it, turned into a data class and registered with the host.
#include "front/command.hpp"

#include <array>
#include <span>
#include <string_view>
#include <utility>

#include "bridge/coroutine.hpp"
#include "bridge/method.hpp"
#include "common/state.hpp"
#include "common/usage_errors.hpp"
#include "common/words.hpp"
#include "fallback/modes.hpp"
#include "fallback/yf_history.hpp"
#include "front/run.hpp"
#include "gateway/modes.hpp"

namespace kline::front {
namespace {

constexpr const char* kModule = "quorvane.cmds.quotes.kline";
constexpr const char* kClass = "IOpKline";

constexpr const char* kHelp =
    "Fetch candlestick / OHLCV data via IBKR.\n"
    "\n"
    "    Modes:\n"
    "      kline <symbol> [period] [count] [adj]           # Latest N candles\n"
    "      kline <symbol> <start> [end] [period] [adj]     # History by date range\n"
    "      kline <symbol> intraday                          # Today's per-minute curve\n"
    "\n"
    "    Periods: 1m, 5m, 15m, 30m, 1h, day, week, month, year\n"
    "    Aliases: minute, hour, d, w, m, y, 1d, 1mo\n"
    "    Count:  number of bars (per-period default: 1m=120, 5m=78, day=250, etc.)\n"
    "    Adj:    adj (or forward) for split+dividend adjusted price (ADJUSTED_LAST)\n"
    "            omitted = TRADES (split-adjusted only)\n"
    "    Start / End: YYYY-MM-DD (end defaults to today)\n"
    "\n"
    "    Examples:\n"
    "      kline AAPL day 100\n"
    "      kline AAPL 5m 200 adj\n"
    "      kline AAPL 2025-01-01 day\n"
    "      kline AAPL 2025-01-01 2025-06-01 day\n"
    "      kline AAPL intraday\n"
    "    ";

// One parameter of a method's signature: a name, its kind and annotation.
struct Parameter {
    const char* name;
    const char* kind = "POSITIONAL_OR_KEYWORD";
    const char* annotation = nullptr;
};

// An inspect.Signature, plus the matching __annotations__.
std::pair<nb::object, nb::dict> signature(std::span<const Parameter> parameters, const char* returns) {
    nb::module_ inspect = libraries().inspect;
    nb::object parameter_class = inspect.attr("Parameter");
    nb::list built;
    nb::dict annotations;
    for (const Parameter& p : parameters) {
        nb::object kind = parameter_class.attr(p.kind);
        if (p.annotation) {
            built.append(parameter_class(p.name, kind, nb::arg("annotation") = p.annotation));
            annotations[p.name] = p.annotation;
        } else {
            built.append(parameter_class(p.name, kind));
        }
    }
    annotations["return"] = returns;
    return {inspect.attr("Signature")(built, nb::arg("return_annotation") = returns), annotations};
}

nb::str qualname(const char* name) { return nb::str("{}.{}").format(kClass, name); }

// Adds `function` to the class namespace as a coroutine method.
template <size_t N>
void add_coroutine(nb::handle ns, const char* name, nb::object function, const Parameter (&parameters)[N],
                   const char* returns) {
    auto [sig, annotations] = signature(parameters, returns);
    std::string full = std::string(kClass) + "." + name;
    bridge::MethodInfo info{name, full.c_str(), kModule, sig, annotations, nullptr};
    ns[name] = bridge::coroutine_method(std::move(function), info);
}

// A coroutine's Python face, given the task its body returns.
nb::object start(bridge::Task task, const char* name) {
    return bridge::make_coroutine(std::move(task), qualname(name));
}

bool is_word_list(const Parameter& parameter) { return std::string_view(parameter.name) == "rest"; }

// The Python-callable side of a coroutine method whose body takes `self`
// and then the objects the parameters after it name: it refuses a word
// list that is not exactly a list before any work, and returns the
// coroutine object. Names outlive the functions (literals).
template <typename... Objects, size_t... I>
nb::object taking(const char* name, bridge::Task (*body)(nb::object, Objects...), const Parameter* after_self,
                  std::index_sequence<I...>) {
    const std::array<bool, sizeof...(Objects)> word_list{is_word_list(after_self[I])...};
    return nb::cpp_function(
        [name, body, word_list](nb::object self, Objects... objects) {
            ((word_list[I] ? words::require_list(objects, name) : void()), ...);
            return start(body(std::move(self), std::move(objects)...), name);
        },
        nb::arg("self"), nb::arg(after_self[I].name).none()...);
}

// Adds the coroutine method `name` running `body`, with `self` and the
// objects after it as its parameters.
template <typename... Objects>
void add_coroutine(nb::handle ns, const char* name, bridge::Task (*body)(nb::object, Objects...),
                   const Parameter (&parameters)[sizeof...(Objects) + 1], const char* returns) {
    add_coroutine(ns, name, taking(name, body, parameters + 1, std::index_sequence_for<Objects...>{}),
                  parameters, returns);
}

nb::object taking_keywords(const char* name) {
    return nb::cpp_function(
        [name](nb::object self, nb::kwargs kwargs) {
            return start(fallback::yf_history(std::move(self), std::move(kwargs)), name);
        },
        nb::arg("self"), nb::arg("kwargs"));
}

// [DArg("symbol", convert=str.upper), DArg("*rest")]
nb::object argmap(nb::handle) {
    nb::object darg = global("DArg");
    nb::object upper = nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)).attr("upper");
    nb::list declarations;
    declarations.append(darg("symbol", nb::arg("convert") = upper));
    declarations.append(darg("*rest"));
    return declarations;
}

void add_methods(nb::handle ns) {
    const Parameter self{"self"};
    const Parameter contract{"contract", "POSITIONAL_OR_KEYWORD", "Contract"};
    const Parameter rest{"rest", "POSITIONAL_OR_KEYWORD", "list[str]"};
    const Parameter kwargs{"kwargs", "VAR_KEYWORD"};

    ns["argmap"] = bridge::plain_method(nb::cpp_function(&argmap, nb::arg("self"), nb::name("argmap")));
    add_coroutine(ns, "run", &front::run, {self}, "dict");
    add_coroutine(ns, "_kline", &gateway::kline, {self, contract, rest}, "dict");
    add_coroutine(ns, "_history", &gateway::history, {self, contract, rest}, "dict");
    add_coroutine(ns, "_intraday", &gateway::intraday, {self, contract}, "dict");
    add_coroutine(ns, "_yf_history", taking_keywords("_yf_history"), {self, kwargs}, "pd.DataFrame | None");
    add_coroutine(ns, "_run_yfinance", &fallback::run_yfinance, {self, rest}, "dict");
    add_coroutine(ns, "_kline_yfinance", &fallback::kline_yfinance, {self, rest}, "dict");
    add_coroutine(ns, "_history_yfinance", &fallback::history_yfinance, {self, rest}, "dict");
    add_coroutine(ns, "_intraday_yfinance", &fallback::intraday_yfinance, {self}, "dict");
}

// The class namespace as a class statement would fill it: module, name,
// help text, annotated fields left out of the constructor, methods.
nb::object class_namespace(nb::handle metaclass, nb::handle bases) {
    nb::object ns = metaclass.attr("__prepare__")(kClass, bases);
    ns["__module__"] = kModule;
    ns["__qualname__"] = kClass;
    ns["__doc__"] = kHelp;
    nb::dict annotations;
    annotations["symbol"] = "str";
    annotations["rest"] = "list[str]";
    ns["__annotations__"] = annotations;
    ns["requires_gateway"] = false;
    ns["usage_errors"] = nb::make_tuple(usage_errors::no_symbol, usage_errors::start_after_end);
    nb::object field = libraries().dataclasses.attr("field");
    ns["symbol"] = field(nb::arg("init") = false);
    ns["rest"] = field(nb::arg("init") = false);
    add_methods(ns);
    return ns;
}

}  // namespace

void define_command(nb::handle module) {
    nb::object base = global("IOp");
    nb::object metaclass = nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(base.ptr())));
    nb::tuple bases = nb::make_tuple(base);
    nb::object cls = metaclass(kClass, bases, class_namespace(metaclass, bases));
    cls = libraries().dataclasses.attr("dataclass")(cls);
    nb::list names;
    names.append("kline");
    module.attr(kClass) = global("command")(nb::arg("names") = names)(cls);
}

}  // namespace kline::front
