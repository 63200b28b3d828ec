import sys

from zavo.cli import main

sys.exit(main())
