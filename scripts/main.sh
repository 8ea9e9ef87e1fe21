#!/usr/bin/env bash
# The main job: set up, then run the command line. With arguments, they go to the command line
# (`bash scripts/main.sh call version`); without, it shows the catalogue, the versions and a call.
set -euo pipefail
source "$(dirname "$0")/setup.sh"

cli=(python -m quorvel_bo.payouts)
if (($#)); then
    exec "${cli[@]}" "$@"
fi

echo '$ python -m quorvel_bo.payouts version'
"${cli[@]}" version
echo '$ python -m quorvel_bo.payouts describe --pretty'
"${cli[@]}" describe --pretty
# The build stage of a QR scan: the HTTP request the host would send.
envelope='{"config":{"client_id":"demo-client","environment":"sandbox"},"token":{"access_token":"demo-token","token_type":"Bearer","expires_at":1767225600},"input":{"qr_text":"0002010102110216demo-qr-payload"}}'
echo "\$ python -m quorvel_bo.payouts call --pretty payouts.scan.build '<Build envelope>'"
"${cli[@]}" call --pretty payouts.scan.build "$envelope"
