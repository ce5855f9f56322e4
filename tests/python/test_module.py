"""The module itself: where it is loaded from, what it defines, re-import."""

import pathlib
import sys

import vorizovedavuz

REPO_ROOT = pathlib.Path(__file__).resolve().parents[2]
CLASSES = {"Background", "DoubleVector", "Metadata", "MetadataVector", "PEListVector"}


def test_module_is_the_installed_extension_not_the_source_tree():
    # A stale build or the checkout shadowing the wheel would test the wrong code.
    location = pathlib.Path(vorizovedavuz.__file__).resolve()
    assert location.suffix == ".so" and location.name.startswith("vorizovedavuz.")
    assert REPO_ROOT not in location.parents


def test_docstring_and_exactly_the_five_classes():
    assert vorizovedavuz.__doc__ == "Python bindings for the NELM Background Library"
    assert set(dir(vorizovedavuz)) == CLASSES | {
        "__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}
    for name in CLASSES:
        assert getattr(vorizovedavuz, name).__module__ == "vorizovedavuz"


def test_only_the_vectors_of_unregistered_elements_are_module_local():
    # MetadataVector is global only if Metadata was registered before it; a
    # wrong order silently makes it module-local, which this attribute reveals.
    def is_local(cls):
        return any(key.startswith("__pybind11_module_local_") for key in vars(cls))

    local = {name for name in CLASSES if is_local(getattr(vorizovedavuz, name))}
    assert local == {"DoubleVector", "PEListVector"}


def test_reimport_after_removal_from_sys_modules_gives_the_same_module():
    # The extension does not support re-initialisation; a second import must
    # hand back the cached module, not build new, incompatible classes.
    original = sys.modules.pop("vorizovedavuz")
    try:
        import vorizovedavuz as again
        assert again is original
        assert again.Metadata is original.Metadata
    finally:
        sys.modules["vorizovedavuz"] = original
