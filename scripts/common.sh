# Shared by the scripts in this folder: finding CPython, making a virtual environment,
# installing Debian packages when they are missing.

# Prints the path of a CPython of version $1 (e.g. 3.13): from $QUILLAN_PYTHON, PATH or pyenv.
find_python() {
    local want=$1 candidate dir
    for candidate in "${QUILLAN_PYTHON:-}" "python$want"; do
        if [ -n "$candidate" ] && "$candidate" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$want'.split('.'))))" 2>/dev/null; then
            command -v "$candidate"
            return 0
        fi
    done
    if command -v pyenv >/dev/null 2>&1; then
        for dir in $(ls -d "$(pyenv root)/versions/$want"* 2>/dev/null | sort -V -r); do
            if [ -x "$dir/bin/python$want" ]; then
                echo "$dir/bin/python$want"
                return 0
            fi
        done
    fi
    echo "error: CPython $want not found (set QUILLAN_PYTHON to its path)" >&2
    return 1
}

# make_venv DIR PYTHON: creates the virtual environment DIR unless it exists.
make_venv() {
    if [ ! -x "$1/bin/python" ]; then
        "$2" -m venv "$1"
    fi
}

# Installs the named Debian packages that are not installed yet (needs root and apt-get).
ensure_debian_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "installing Debian packages: ${missing[*]}" >&2
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# timed NAME COMMAND...: runs COMMAND, then says on stderr how long step NAME took.
timed() {
    local name=$1 start=$SECONDS
    shift
    "$@"
    echo "== $name took $((SECONDS - start)) s" >&2
}
