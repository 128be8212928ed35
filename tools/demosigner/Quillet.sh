#!/bin/sh
# Starts the document signer. This copy starts the demo signer; a package replaces it with
# the product's own script.
dir=${0%/*}
[ "$dir" != "$0" ] || dir=.
exec "$dir/QuilletDemoSigner" "$@"
