"""Prints where this Python environment's tbb-devel, boost-headers and
nlohmann-json packages keep what the build needs, one NAME=path line each; the
path is empty when the package is not installed. Run by the root CMakeLists."""

import importlib.metadata
import importlib.util
import pathlib


def tbb_config_dir() -> str:
    # tbb-devel installs TBBConfig.cmake as wheel data (under the prefix, not
    # site-packages): its RECORD says where.
    try:
        files = importlib.metadata.distribution("tbb-devel").files or []
    except importlib.metadata.PackageNotFoundError:
        return ""
    for f in files:
        if f.name == "TBBConfig.cmake":
            path = pathlib.Path(str(f.locate())).resolve()
            if path.is_file():
                return str(path.parent)
    return ""


def include_dir(package: str) -> str:
    # find_spec, not import: nlohmann_json's __init__ needs a package the
    # build does not.
    spec = importlib.util.find_spec(package)
    if spec is None or not spec.submodule_search_locations:
        return ""
    path = pathlib.Path(next(iter(spec.submodule_search_locations))) / "include"
    return str(path.resolve()) if path.is_dir() else ""


print(f"TBB_DIR={tbb_config_dir()}")
print(f"BOOST_INCLUDE={include_dir('boost_headers')}")
print(f"NLOHMANN_JSON_INCLUDE={include_dir('nlohmann_json')}")
