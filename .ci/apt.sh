# Sourced by the install steps. apt_install PACKAGE... updates the package
# lists and installs the packages, and tries both again when the install
# fails: a Debian mirror in the middle of a sync serves lists of the wrong
# size for a while, and a fresh machine's first update can meet one. An
# update that fails is said but is not the end: the list that failed may
# be one the packages do not need; if they do, the install is tried once
# more from the sources whose lists did update (a mirror can serve one
# suite's list broken for days, and 32-bit packages must then come, with
# the 64-bit ones they match, from the suites that are whole), and then
# the two are tried again.
apt_install() {
  local try tries=6 log
  log=$(mktemp)
  for ((try = 1; ; try++)); do
    if apt-get update -qq 2>&1 | tee "$log"; (( PIPESTATUS[0] == 0 )); then
      : >"$log"
    else
      echo "== apt-get update failed; installing from the lists it got" >&2
    fi
    if apt-get install -y -qq --no-install-recommends "$@"; then
      rm -f "$log"; return 0
    fi
    if apt_install_without_failed_sources "$log" "$@"; then
      rm -f "$log"; return 0
    fi
    if ((try == tries)); then
      echo "== could not install $*; giving up after $tries tries" >&2
      rm -f "$log"; return 1
    fi
    echo "== the install failed (try $try of $tries); trying again in $((30 * try)) s" >&2
    sleep $((30 * try))
  done
}

# Installs the packages from the configured sources less those whose lists
# the update in $1 failed to fetch; fails when none failed.
apt_install_without_failed_sources() {
  local log=$1; shift
  local etc=${APT_ETC:-/etc/apt} failed parts file status
  failed=$(grep -o 'Failed to fetch [^ ]*' "$log" | awk '{print $4}' | sort -u)
  [[ -n $failed ]] || return 1
  parts=$(mktemp -d)
  # A source is left out when a list that failed lies under one of its URIs:
  # one a paragraph in the deb822 files, one a line in the one-line files.
  for file in "$etc"/sources.list.d/*.sources; do
    [[ -f $file ]] || continue
    awk -v failed="$failed" 'BEGIN { RS = ""; ORS = "\n\n"; n = split(failed, f, "\n") }
      { keep = 1
        if (match($0, /(^|\n)URIs:[^\n]*/)) {
          split(substr($0, RSTART, RLENGTH), uris, /[ \t]+/)
          for (u in uris) for (i = 1; i <= n; i++)
            if (uris[u] ~ /:\/\// && index(f[i], uris[u] "/") == 1) keep = 0
        }
        if (keep) print }' "$file" >"$parts/$(basename "$file")"
  done
  for file in "$etc"/sources.list "$etc"/sources.list.d/*.list; do
    [[ -f $file ]] || continue
    awk -v failed="$failed" 'BEGIN { n = split(failed, f, "\n") }
      { keep = 1
        for (w = 2; w <= NF; w++) if ($w ~ /:\/\//) {
          for (i = 1; i <= n; i++) if (index(f[i], $w "/") == 1) keep = 0
          break
        }
        if (keep) print }' "$file" >"$parts/$(basename "$file").list"
  done
  echo "== installing once more without the sources whose lists failed:" $failed >&2
  status=0
  apt-get install -y -qq --no-install-recommends \
    -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$parts" "$@" || status=$?
  rm -rf "$parts"
  return $status
}
