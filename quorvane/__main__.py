from quorvane.runner import main

raise SystemExit(main())
