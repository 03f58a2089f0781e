"""Sphinx configuration of the kr2270 reference. docs/CMakeLists.txt runs it
on a copy in the build folder (autosummary writes its pages beside this
file) with KR2270_PYTHON_DIR naming the package's folder."""
import os
import sys

sys.path.insert(0, os.environ.get("KR2270_PYTHON_DIR",
                                  os.path.join(os.path.dirname(__file__), "..", "..", "python")))

project = "kr2270"
author = "kr2270c developers"
extensions = ["sphinx.ext.autodoc", "sphinx.ext.autosummary"]
templates_path = ["_templates"]
exclude_patterns = ["_build"]
autosummary_generate = True
autosummary_imported_members = False
# Each module documents what it defines; the package's re-exports are
# documented where they live.
autodoc_default_options = {"members": True, "undoc-members": True, "show-inheritance": True,
                           "ignore-module-all": True}
autodoc_member_order = "bysource"
# The package loads the C library on first use, not on import: the
# reference is built without one.
autodoc_mock_imports = ["h5py", "matplotlib"]
html_theme = "alabaster"
html_title = "kr2270 reference"


def literal_blocks(app, what, name, obj, options, lines):
    """The package's docstrings are plain text: a block after a line that
    ends in a colon and a blank line (a layout, an example) is shown as
    written, up to the next blank line."""
    i = 0
    while i + 2 < len(lines):
        line = lines[i]
        if line.rstrip().endswith(":") and not line.rstrip().endswith("::") \
                and not lines[i + 1].strip() and lines[i + 2].strip():
            lines[i] = line.rstrip() + ":"
            j = i + 2
            while j < len(lines) and lines[j].strip():
                lines[j] = "    " + lines[j]
                j += 1
            i = j
        i += 1


def setup(app):
    app.connect("autodoc-process-docstring", literal_blocks)
