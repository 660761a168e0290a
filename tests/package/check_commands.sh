#!/usr/bin/env bash
# Every command that the project's shell scripts call comes from a Debian
# package that a bare Debian 12 root has after scripts/setup: one of the
# setup list, one they depend on, or one of Debian's required packages
# (what debootstrap's minbase holds). Scripts are parsed with shfmt, not
# grepped; a command's package is what dpkg says owns it on this machine.
# Quick and offline. Fails naming each command whose package is missing.
# Usage: check_commands.sh [SCRIPT...]   (default: every script of the repo)
set -uo pipefail
cd "$(dirname "$0")/../.."

if [ $# -gt 0 ]; then
  scripts=("$@")
else
  mapfile -t scripts < <(
    {
      git ls-files -z --cached --others --exclude-standard | xargs -0 grep -lIE '^#!(/usr)?/bin/(env )?(ba)?sh' 2>/dev/null
      git ls-files --cached --others --exclude-standard '*.sh'
    } | grep -v '^tests/e2e/expected/' | sort -u
  )
fi

# Only called where present: the setup runs sudo when it is not root.
readonly optional_commands=" sudo "

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# The packages a bare root has after the setup: the list, Debian's required
# and essential ones, and everything they depend on (alternatives and
# virtual packages by what is installed here).
declare -A allowed provider
setup_list=$(scripts/setup --list) || { echo "scripts/setup --list failed" >&2; exit 1; }
queue=()
for p in $setup_list; do queue+=("$p"); done
while IFS=$'\t' read -r name priority essential provides; do
  [ "$priority" = required ] || [ "$essential" = yes ] && queue+=("$name")
  for v in ${provides//,/ }; do
    [[ "$v" == [a-z0-9]* ]] && provider[$v]+=" $name"
  done
done < <(dpkg-query -W -f='${db:Status-Abbrev}\t${Package}\t${Priority}\t${Essential}\t${Provides}\n' |
  awk -F'\t' '$1 ~ /^ii/ { print $2 "\t" $3 "\t" $4 "\t" $5 }')
declare -A depends
while IFS=$'\t' read -r name deps; do
  depends[$name]=$deps
done < <(dpkg-query -W -f='${db:Status-Abbrev}\t${Package}\t${Pre-Depends}, ${Depends}\n' |
  awk -F'\t' '$1 ~ /^ii/ { print $2 "\t" $3 }')
while [ ${#queue[@]} -gt 0 ]; do
  p=${queue[-1]}
  unset 'queue[-1]'
  [ -n "${allowed[$p]:-}" ] && continue
  allowed[$p]=1
  # "a (>= 1) | b:any, c" -> a b c
  for d in $(sed -E 's/\([^)]*\)//g; s/:[a-z0-9]+//g; s/[,|]/ /g' <<<"${depends[$p]:-}"); do
    if [ -n "${depends[$d]+x}" ]; then
      queue+=("$d")
    else
      for q in ${provider[$d]:-}; do queue+=("$q"); done
    fi
  done
done

# The words of every simple command whose name is a plain word; wrappers
# (env, exec, timeout, xargs, ...) give way to the command they start.
commands_of() {  # SCRIPT
  shfmt --tojson <"$1" | jq -r '
    (.. | objects | select(.Type == "FuncDecl") | "function " + .Name.Value),
    (.. | objects | select(.Type == "CallExpr" and (.Args // []) != [])
      | .Args | map(if (.Parts | length) == 1 and .Parts[0].Type == "Lit"
                    then .Parts[0].Value else "\u0001" end) | join(" "))'
}

builtins=" $(compgen -b -k | tr '\n' ' ') "
# Functions count for every script: some come from a sourced file.
declare -A parsed_of
functions=" "
for script in "${scripts[@]}"; do
  parsed_of[$script]=$(commands_of "$script") || { fail "$script: shfmt cannot parse it"; continue; }
  functions+="$(sed -n 's/^function //p' <<<"${parsed_of[$script]}" | tr '\n' ' ') "
done
declare -A checked paths
for script in "${!parsed_of[@]}"; do
  parsed=${parsed_of[$script]}
  while read -r -a words; do
    # Unwrap the commands that run another one.
    while [ ${#words[@]} -gt 0 ]; do
      case ${words[0]} in
        exec | nice | nohup) words=("${words[@]:1}") ;;
        # command -v NAME looks NAME up: the script relies on it as well.
        command) words=("${words[@]:1}"); [[ "${words[0]:-}" == -[vV] ]] && words=("${words[@]:1}") ;;
        env | xargs | setpriv)
          words=("${words[@]:1}")
          while [ ${#words[@]} -gt 0 ] && [[ "${words[0]}" == -* || "${words[0]}" == *=* ]]; do
            words=("${words[@]:1}")
          done ;;
        timeout) words=("${words[@]:2}") ;;
        *) break ;;
      esac
    done
    [ ${#words[@]} -gt 0 ] || continue
    cmd=${words[0]}
    # Not a plain word (a variable, a path of the repo or of a build).
    [[ "$cmd" == *$'\x01'* || "$cmd" == */* || "$cmd" == *@* ]] && continue
    [[ "$builtins" == *" $cmd "* || "$functions" == *" $cmd "* ]] && continue
    [ -n "${checked[$cmd]:-}" ] && continue
    checked[$cmd]=$script
    [[ "$optional_commands" == *" $cmd "* ]] && continue
    found=$(type -a -P "$cmd") || { fail "$cmd ($script): not installed here; add its package to scripts/setup"; continue; }
    # Every place in PATH counts (a file in /usr/local may stand before the
    # package's); Debian 12 has merged /usr, and dpkg still names many
    # files by /bin.
    for path in $found; do
      real=$(realpath "$path")
      paths[$cmd]+=" $path $real ${path#/usr} ${real#/usr}"
    done
  done <<<"$(grep -v '^function ' <<<"$parsed")"
done

# One query for all of them: dpkg answers "package[, package]: path".
declare -A owner_of
while IFS= read -r line; do
  [[ "$line" == diversion* ]] && continue
  owner_of[${line#*: }]=${line%%[:,]*}
done < <(dpkg-query -S ${paths[@]+${paths[@]}} 2>/dev/null)
for cmd in "${!paths[@]}"; do
  owner=""
  for candidate in ${paths[$cmd]}; do
    owner=${owner_of[$candidate]:-}
    [ -n "$owner" ] && break
  done
  if [ -z "$owner" ]; then
    fail "$cmd (${checked[$cmd]}): $(type -P "$cmd") belongs to no Debian package"
  elif [ -z "${allowed[$owner]:-}" ]; then
    fail "$cmd (${checked[$cmd]}): its package $owner is not in scripts/setup"
  fi
done

if [ "$failures" -ne 0 ]; then
  echo "commands: $failures without a package of the setup" >&2
  exit 1
fi
echo "commands: ${#checked[@]} in ${#scripts[@]} scripts, each from a package of the setup"
