#!/usr/bin/env bash
# Copies a built bundle into ~/Applications: staged beside the destination, then swapped in.
set -euo pipefail
src="$1"
dest_dir="$HOME/Applications"
name="$(basename "$src")"
mkdir -p "$dest_dir"
stage="$(mktemp -d "$dest_dir/.${name}.install-XXXXXX")"
cp -a "$src" "$stage/$name"
if [ -e "$dest_dir/$name" ]; then
  mv -T "$dest_dir/$name" "$stage/old"
fi
mv -T "$stage/$name" "$dest_dir/$name"
rm -rf "$stage"
echo "Installed $dest_dir/$name"
