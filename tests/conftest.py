import os
import sys

# Tests import the NumPy reference simulator beside them.
sys.path.insert(0, os.path.dirname(__file__))
