"""The module's version: the project's own (project() in CMakeLists.txt), which every program
reports too; tests/package/version_test.py fails when the two differ."""

__version__ = "0.6.0"
