#!/usr/bin/env bash
# The demo: runs `ledra` through what the library can do today, in a scratch data folder.
set -euo pipefail
ledra=${1:-build-release/cli/ledra}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export XDG_DATA_HOME="$scratch/data" XDG_CONFIG_HOME="$scratch/config"

step() { printf '\n\033[1m$ ledra %s\033[0m\n' "$*"; "$ledra" "$@"; }

step --version

echo
echo "== Money is exact decimal arithmetic, never binary floating point"
step decimal add 0.1 0.2
step decimal add 99999999999999999999999999999999999999 1
step decimal add 99999999999999999999999999999999999999 0.5
step decimal divide 1 3
step decimal round 2.345 --scale 2
step decimal round -2.345 --scale 2
step decimal round 2.345 --scale 2 --mode bankers
step --json decimal multiply 19.99 3


echo
echo "== One calendar for every day, week, month, quarter and year step (month ends clamp)"
step calendar add 2024-01-31 --months 1
step calendar add 2024-02-29 --years 1
step calendar add 2025-01-31 --quarters 1
step calendar periods 2026-12-02

echo
echo "== Resource files are stored encrypted (AES-256-CBC) under the database's key"
printf 'Statement December 2026\n' > "$scratch/statement.txt"
LEDRA_FILE_KEY=$("$ledra" crypto new-key)
export LEDRA_FILE_KEY
step crypto encrypt "$scratch/statement.txt"
step crypto decrypt "$scratch/statement.txt.crypt" --to "$scratch/restored"
step crypto digest "$scratch/restored/statement.txt"
echo "(a wrong key is refused and writes nothing:)"
LEDRA_FILE_KEY=$("$ledra" crypto new-key) "$ledra" crypto decrypt "$scratch/statement.txt.crypt" \
    --to "$scratch/wrong" || true
printf 'hello' > "$scratch/hello.txt"
echo "-- the older password format: \"hello\" under \"secret\" is one block"
LEDRA_PASSWORD=secret step crypto legacy-encrypt "$scratch/hello.txt" --to "$scratch/restored"
od -An -tx1 "$scratch/restored/hello.txt.crypt"
LEDRA_PASSWORD=secret step crypto legacy-decrypt "$scratch/restored/hello.txt.crypt" --to "$scratch/legacy"

echo
echo "== Keyed archives and property lists, read by a bounded reader"
data="$(cd "$(dirname "$0")/.." && pwd)/tests/data/plist"
step plist show "$data/keyed-mutable-classes.xml"
step --json plist show "$data/platform-sample.xml"

echo
echo "== Amounts typed as calculations: a sum or difference is a split booking"
# The separators come from --locale or the environment; C reads "." as the decimal separator.
export LC_ALL=C
step calc '10+20+30.5'
step --json calc '100-(20+30)'
step calc -- '-(10+5)'
step calc '3*(2+1)'
step calc --locale de_DE --currency EUR '1.234,5+0,555'
step calc --currency KWD '2.3455'
step currency show KWD

echo
echo "== IBAN and BIC checks (ISO 13616 check digits, the registry's lengths)"
step iban check 'DE89 3704 0044 0532 0130 00'
printf '\n\033[1m$ ledra %s\033[0m\n' "iban check DE89370400440532013001"
"$ledra" iban check DE89370400440532013001 || true
step iban find 'Miete Januar IBAN de89 3704 0044 0532 0130 00, Kaution GB29 NWBK 6016 1331 9268 19'
step bic check DEUTDEFF500

echo
echo "== A sample ledger written through the object layer into an encrypted store file"
export LEDRA_PASSWORD=demo-password
step store sample "$scratch/sample.ldcryptdata" --accounts 3 --days 120
step store fetch "$scratch/sample.ldcryptdata" Entry \
    "dayBalance.account.title == 'Account 2' AND amount < -150 AND title BEGINSWITH[cd] 'cafe'" \
    --sort dayBalance.date --limit 3
step store fetch "$scratch/sample.ldcryptdata" Entry "ANY tags.name == 'travel' AND isNew == YES" --count
step store fetch "$scratch/sample.ldcryptdata" DayBalance "entries.@count >= 4" --count
step store inspect "$scratch/sample.ldcryptdata"
unset LEDRA_PASSWORD

echo
echo "== Databases: created in a fresh folder, protected by a password, shown and reopened"
databases="$scratch/Databases"
export LEDRA_PASSWORD=demo-password
step --databases-folder "$databases" db create 'Home/Office: 2024.1 - new'
unset LEDRA_PASSWORD
step --databases-folder "$databases" db create Household
step --databases-folder "$databases" db create household
step --databases-folder "$databases" db list
step --databases-folder "$databases" db info 'Home_Office_ 2024_1___new'
export LEDRA_PASSWORD=demo-password
step --databases-folder "$databases" db show 'Home_Office_ 2024_1___new'
printf '\n\033[1m$ LEDRA_PASSWORD=wrong ledra db show …\033[0m\n'
LEDRA_PASSWORD=wrong "$ledra" --databases-folder "$databases" db show 'Home_Office_ 2024_1___new' || true
LEDRA_NEW_PASSWORD=changed-password step --databases-folder "$databases" db passwd 'Home_Office_ 2024_1___new'
export LEDRA_PASSWORD=changed-password
step --databases-folder "$databases" --json db show 'Home_Office_ 2024_1___new'
unset LEDRA_PASSWORD
step --databases-folder "$databases" db rename 'Household 2' 'Holiday home'
step --databases-folder "$databases" db duplicate Household
step --databases-folder "$databases" db delete 'Holiday home'
step --databases-folder "$databases" db list

echo
echo "== Backups: a closed database copied as it lies on disk, listed and restored as a new database"
backups="$scratch/Backups"
step --databases-folder "$databases" backup settings
archive=$("$ledra" --databases-folder "$databases" --backups-folder "$backups" --json backup create Household |
    sed -n 's/.*"path": "\(.*\)".*/\1/p')
printf '\n\033[1m$ ledra backup create Household\033[0m\n%s\n' "$archive"
step --databases-folder "$databases" --backups-folder "$backups" backup list Household
step --databases-folder "$databases" --backups-folder "$backups" backup restore "$archive"
step --databases-folder "$databases" --backups-folder "$backups" backup export Household "$scratch/Household.ld5a"
step --databases-folder "$databases" --backups-folder "$backups" backup import "$scratch/Household.ld5a"
step --databases-folder "$databases" db list

echo
echo "== Exchange rates: a rate set for a day, read in the other direction, and an amount converted"
step --databases-folder "$databases" --backups-folder "$backups" rate set Household EUR USD 1.0921 2026-12-04
step --databases-folder "$databases" --backups-folder "$backups" rate get Household USD EUR 2026-12-04
step --databases-folder "$databases" --backups-folder "$backups" rate convert Household 250.00 EUR USD 2026-12-04
