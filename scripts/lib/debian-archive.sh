# The Debian archive this machine's apt sources name, for the scripts that
# fetch from it: the roots of scripts/lib/debian-root.sh, and the inputs of the
# cross builds in scripts/lib/cross.sh. No archive's host name is written in
# any of the project's files: it is always read from the machine's sources.

# The Debian release of the roots (where the proofs run) and of the
# interpreter headers of the cross builds: the oldest Debian with CPython 3.13.
DEBIAN_SUITE=trixie

# The first archive of Debian itself among the machine's apt sources (one-line
# *.list entries and deb822 *.sources stanzas alike): a "deb" source of the
# component main whose suite is a Debian release name, not one of its
# -security, -updates or -backports suites. Prints "URI SUITE SIGNED-BY" on
# one line, SIGNED-BY being the keyring file the entry names or "-".
debian_archive_entry() {
  local releases='^(oldoldstable|oldstable|stable|testing|unstable|sid|experimental|buster|bullseye|bookworm|trixie|forky|duke)$'
  # a one-line entry: deb [options] uri suite component...
  local one_line='
    /^[ \t]*deb[ \t]/ {
      i = 2; signed = "-"
      if ($i ~ /^\[/) {
        while (i <= NF) {
          opt = $i; gsub(/[\[\]]/, "", opt)
          if (opt ~ /^signed-by=\//) signed = substr(opt, 11)
          if ($i ~ /\]$/) break
          i++
        }
        i++
      }
      uri = $i; suite = $(i + 1); main = 0
      for (j = i + 2; j <= NF; j++) if ($j == "main") main = 1
      if (main && suite ~ rel) print uri, suite, signed
    }'
  local f
  {
    [ -f /etc/apt/sources.list ] && awk -v rel="$releases" "$one_line" /etc/apt/sources.list
    for f in /etc/apt/sources.list.d/*.list; do
      [ -f "$f" ] || continue
      awk -v rel="$releases" "$one_line" "$f"
    done
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] || continue
      awk -v rel="$releases" '
        function flush() {
          if (types ~ /(^| )deb( |$)/ && comps ~ /(^| )main( |$)/ && enabled !~ /^(no|false)$/) {
            n = split(suites, s, " ")
            for (k = 1; k <= n; k++) if (s[k] ~ rel) {
              split(uris, u, " ")
              print u[1], s[k], (signed ~ /^\// ? signed : "-")
              break
            }
          }
          types = uris = suites = comps = enabled = signed = ""
        }
        /^[ \t]*#/ { next }
        /^[ \t]*$/ { flush(); next }
        # a continuation line (an inline key of Signed-By)
        /^[ \t]/ { next }
        {
          key = tolower($1); sub(/:$/, "", key); $1 = ""; sub(/^[ \t]+/, "")
          if (key == "types") types = $0
          else if (key == "uris") uris = $0
          else if (key == "suites") suites = $0
          else if (key == "components") comps = $0
          else if (key == "enabled") enabled = tolower($0)
          else if (key == "signed-by") signed = $0
        }
        END { flush() }' "$f"
    done
  } | head -n 1
}

# The archive's URI alone (what debootstrap takes).
mirror_from_apt_sources() {
  debian_archive_entry | cut -d ' ' -f 1
}
