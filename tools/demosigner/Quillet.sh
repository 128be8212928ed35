#!/bin/sh
# Starts the document signer. This copy starts the demo signer; a package replaces it with
# the product's own script.
exec "$(dirname "$0")/QuilletDemoSigner" "$@"
