# Installs the package into a site directory of the build tree, entry-point metadata included,
# from a copy of its folder: pip builds in the folder it is given and would leave files there.
# Inputs: PYTHON, SOURCE (this folder), WORK (a directory of the build tree).
file(REMOVE_RECURSE ${WORK}/source ${WORK}/site)
file(COPY ${SOURCE}/pyproject.toml ${SOURCE}/README.md ${SOURCE}/ovelcanfd_can DESTINATION ${WORK}/source
     PATTERN __pycache__ EXCLUDE)
set(ENV{PIP_ROOT_USER_ACTION} ignore)
execute_process(
    COMMAND ${PYTHON} -m pip install --no-build-isolation --no-index --no-deps --no-cache-dir
            --disable-pip-version-check --target ${WORK}/site ${WORK}/source
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "pip install of the python-can interface failed (${result})")
endif()
