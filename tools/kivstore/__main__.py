import os
import sys

if __package__ in (None, ''):
    # Run as `python tools/kivstore`: make the package importable by its name.
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    from kivstore.app import main
else:
    from .app import main

sys.exit(main())
