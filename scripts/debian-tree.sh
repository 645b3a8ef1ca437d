# Folders made of Debian binary packages, unpacked as they are, for the
# interpreters and the build root that the scripts use. Sourced, not run.
#
# debian_tree SUITE NAME MEND PACKAGE... prints a folder that holds PACKAGE...
# of Debian's SUITE and everything they depend on, unpacked with dpkg-deb
# under $TAVRIX_CACHE/NAME/ (~/.cache/tavrix-async/NAME/). The folder's name
# is a digest of the exact package versions, so the same versions are fetched
# and unpacked once: a later call finds the folder and asks no server
# (TAVRIX_REFRESH=1 asks for the versions again, and makes a new folder only
# if they changed). MEND is a function called with the new folder before it
# is used (mending paths, say). Only apt's own client and Debian's archive
# keys are used, with apt's state kept in the cache: nothing of the machine's
# own package database or sources is touched.

TAVRIX_CACHE=${TAVRIX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tavrix-async}
DEBIAN_MIRROR=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
DEBIAN_KEYRING=${DEBIAN_KEYRING:-/usr/share/keyrings/debian-archive-keyring.gpg}

# The folder for NAME if one was made, without asking any server.
debian_tree_ready() {
    local current=$TAVRIX_CACHE/$1/current
    [ -f "$current/.complete" ] && readlink -f "$current"
}

debian_tree() {
    local suite=$1 name=$2 mend=$3
    shift 3
    local base=$TAVRIX_CACHE/$name
    mkdir -p "$base"
    (
        # One set-up at a time per folder: scripts of several developers or
        # versions may ask at once.
        exec 9>"$base/.lock"
        flock 9
        if [ -z "${TAVRIX_REFRESH:-}" ] && debian_tree_ready "$name" >/dev/null; then
            exit 0
        fi
        for tool in apt-get dpkg-deb sha256sum; do
            if ! command -v "$tool" >/dev/null; then
                echo "error: $tool is needed to set up $name from Debian's packages" >&2
                exit 1
            fi
        done
        if [ ! -r "$DEBIAN_KEYRING" ]; then
            echo "error: Debian's archive keys ($DEBIAN_KEYRING, package debian-archive-keyring) are needed" >&2
            exit 1
        fi
        local apt=$base/apt
        rm -rf "$apt"
        mkdir -p "$apt/etc/sources.list.d" "$apt/etc/preferences.d" "$apt/etc/apt.conf.d" \
            "$apt/state/lists/partial" "$apt/cache/archives/partial"
        : >"$apt/status"
        echo "deb [signed-by=$DEBIAN_KEYRING] $DEBIAN_MIRROR $suite main" >"$apt/etc/sources.list"
        # A suite that is no longer updated keeps its last Release file, whose
        # validity date has passed: its signature is still checked.
        cat >"$apt/apt.conf" <<EOF
Dir::Etc "$apt/etc";
Dir::State "$apt/state";
Dir::State::status "$apt/status";
Dir::Cache "$apt/cache";
APT::Architecture "amd64";
APT::Architectures { "amd64"; };
APT::Install-Recommends "false";
APT::Get::Download-Only "true";
Acquire::Languages "none";
Acquire::Check-Valid-Until "false";
Debug::NoLocking "true";
APT::Sandbox::User "root";
EOF
        export APT_CONFIG=$apt/apt.conf
        echo "--- $name: Debian $suite package lists" >&2
        apt-get -q -q update >&2
        # Every package the install would unpack, with its version in the name.
        local uris
        uris=$(apt-get -q -q -y install --print-uris "$@" | sed -n "s/^'[^']*' \([^ ]*\) .*/\1/p" | sort)
        if [ -z "$uris" ]; then
            echo "error: no packages for $* in Debian $suite" >&2
            exit 1
        fi
        local key
        key=$(printf '%s\n' "$suite" "$uris" | sha256sum | cut -c1-16)
        local dir=$base/$key
        if [ ! -f "$dir/.complete" ]; then
            echo "--- $name: fetching $(wc -l <<<"$uris") packages" >&2
            apt-get -q -q -y install "$@" >&2
            # Unpacked in place (the mending may write the folder's own path
            # into files); only .complete makes it usable.
            rm -rf "$dir"
            mkdir -p "$dir"
            local deb
            for deb in "$apt"/cache/archives/*.deb; do
                dpkg-deb -x "$deb" "$dir"
            done
            printf '%s\n' "$uris" >"$dir/.packages"
            "$mend" "$dir"
            touch "$dir/.complete"
        fi
        ln -sfn "$key" "$base/current"
        # Older folders and the downloaded files are not needed again.
        local old
        for old in "$base"/*; do
            if [ -d "$old" ] && [ "$old" != "$dir" ] && [ "$(basename "$old")" != apt ] &&
                [ ! -L "$old" ]; then
                rm -rf "$old"
            fi
        done
        rm -rf "$apt"
    )
    debian_tree_ready "$name"
}
