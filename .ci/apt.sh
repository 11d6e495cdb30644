# Sourced by the install steps. apt_install PACKAGE... updates the package
# lists and installs the packages, and tries both again when the install
# fails: a Debian mirror in the middle of a sync serves lists of the wrong
# size for a while, and a fresh machine's first update can meet one. An
# update that fails is said but is not the end: the list that failed may
# be one the packages do not need; if they do, the install fails and the
# two are tried again.
apt_install() {
  local try tries=6
  for ((try = 1; ; try++)); do
    apt-get update -qq || echo "== apt-get update failed; installing from the lists it got" >&2
    apt-get install -y -qq --no-install-recommends "$@" && return 0
    if ((try == tries)); then
      echo "== could not install $*; giving up after $tries tries" >&2
      return 1
    fi
    echo "== the install failed (try $try of $tries); trying again in $((30 * try)) s" >&2
    sleep $((30 * try))
  done
}
