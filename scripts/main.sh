#!/usr/bin/env bash
# The main job: set up, then run the end-to-end demo (the client against the provider simulator on
# loopback, webhooks included). With arguments, they go to the command line instead
# (`bash scripts/main.sh call version`, `bash scripts/main.sh simulator --port 8080`).
set -euo pipefail
source "$(dirname "$0")/setup.sh"

cli=(python -m quorvel_bo.payouts)
if (($#)); then
    exec "${cli[@]}" "$@"
fi

echo '$ python -m quorvel_bo.payouts demo'
exec "${cli[@]}" demo
