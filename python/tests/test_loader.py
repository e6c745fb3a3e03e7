"""Which library file the plugin loads on each system."""

from ovelcanfd_can import library


def test_each_system_tries_its_own_file_names_and_the_variable_overrides_them():
    nothing_found = lambda name: None  # noqa: E731
    assert library._candidates("win32", {}, nothing_found) == ["ovelcanfd.dll"]
    assert library._candidates("darwin", {}, nothing_found) == [
        "libovelcanfd.dylib",
        "libovelcanfd.0.dylib",
    ]
    assert library._candidates("linux", {}, nothing_found) == ["libovelcanfd.so.0"]
    assert library._candidates("freebsd13", {}, nothing_found) == ["libovelcanfd.so.0"]
    # The system's own search comes first, without repeating a name.
    found = lambda name: "ovelcanfd.dll"  # noqa: E731
    assert library._candidates("win32", {}, found) == ["ovelcanfd.dll"]
    found = lambda name: "libovelcanfd.so.0"  # noqa: E731
    assert library._candidates("linux", {}, found) == ["libovelcanfd.so.0"]
    # A library the user names is the only one tried, on every system.
    named = {library.LIBRARY_ENVIRONMENT_VARIABLE: r"C:\\adapters\\ovelcanfd.dll"}
    assert library._candidates("win32", named, found) == [r"C:\\adapters\\ovelcanfd.dll"]
