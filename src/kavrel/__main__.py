from kavrel.cli import main

raise SystemExit(main())
