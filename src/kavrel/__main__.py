from kavrel._command import main

raise SystemExit(main())
