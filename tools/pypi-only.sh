# Sourced by the project's scripts: pip takes everything from the package index
# alone; a machine-wide pip configuration that adds local wheel folders or
# extra indexes is ignored.
export PIP_CONFIG_FILE=/dev/null
unset PIP_FIND_LINKS PIP_EXTRA_INDEX_URL PIP_NO_INDEX
export PIP_DISABLE_PIP_VERSION_CHECK=1
# The same for uv: no configuration file, no index but the package index's.
export UV_NO_CONFIG=1
unset UV_INDEX UV_INDEX_URL UV_DEFAULT_INDEX UV_EXTRA_INDEX_URL UV_FIND_LINKS UV_NO_INDEX
