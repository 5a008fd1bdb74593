#!/usr/bin/env bash
# Makes the seed corpora of the fuzz targets with our own tools:
#   make-seeds.sh BIN OUT
# BIN holds fwrtool and profiletool; OUT gets one folder per target. The
# fuzz runs start from them, and the normal build replays them as tests.
set -euo pipefail
bin=$1 out=$2

# Image files of every layout, including regions without blocks.
seeds=$out/firmware_image
rm -rf "$seeds" && mkdir -p "$seeds"
make_image() { "$bin/fwrtool" make "$@"; }
make_image --layout Code1Only "$seeds/code1-default"
make_image --layout Code1Only --code1-blocks 0 "$seeds/code1-empty"
make_image --layout Code1Only --code1-blocks 2 --revision 0 --product "P" --model-key "K" "$seeds/code1-short-texts"
make_image --layout Code2Only --code1-blocks 0 --code2-blocks 3 --code2-parameter 0x1234 "$seeds/code2"
make_image --layout Code2Only --code2-blocks 0 "$seeds/code2-empty"
make_image --layout BothCodes --code1-blocks 2 --code2-blocks 2 "$seeds/both"
make_image --layout BothCodes --code1-blocks 1 --code2-blocks 0 --code1-start 0x7FFF "$seeds/both-edge"
make_image --layout Code1Only --code1-blocks 1 --product "$(printf 'p%.0s' {1..40})" \
  --model-key "$(printf 'k%.0s' {1..57})" "$seeds/code1-full-texts"

# Backup files: a byte choosing the memory size (0: 512, 1: 1024, 2: 2048),
# then the file as the program writes it.
seeds=$out/backup_file
rm -rf "$seeds" && mkdir -p "$seeds"
backup() {
  local name=$1 size=$2; shift 2
  "$bin/profiletool" make "$seeds/$name.tmp" "$@"
  { printf "\\x0$size"; cat "$seeds/$name.tmp"; } >"$seeds/$name"
  rm "$seeds/$name.tmp"
}
backup plain-512 0 --blocks 73
backup wrapped-512 0 --wrapped
backup empty 0 --blocks 0
backup one-block 0 --blocks 1 --serial 999999
backup plain-1024 1 --memory-size 1024 --blocks 36
backup wrapped-1024 1 --memory-size 1024 --wrapped
backup other-size 2 --memory-size 512 --blocks 5

# Whole updates: a byte setting up the run (bits 0-1 layout and memory, 2
# code blocks per region, 3-4 logbook blocks, 5 revision shown, 6-7 restart
# time), then one action per frame the device parses, low nibble the action,
# high nibble its parameter (tests/fuzz/WholeUpdateFuzz.cpp). With 0x1c
# (Code1Only, 2 code blocks, 3 logbook blocks) frame 1 is the identification,
# 2-9 the backup's reads (two of each block), 10-13 the code blocks' headers
# and data, 14 the closing command.
seeds=$out/whole_update
rm -rf "$seeds" && mkdir -p "$seeds"
update() { printf "$2" >"$seeds/$1"; }
update code1 '\x1c'
update code2 '\x1d'
update both '\x1e'
update code1-1024-blocks-restart-11s '\x5f'
update both-revision-shown-restart-11s '\x6a'
update empty-logbook '\x04'
update rejects '\x1c\x08\x00\x08\x00\x00\x00\x08\x00\x07'
update drops '\x1c\x01\x00\x00\x01\x00\x00\x01'
update header-reply-past-resend '\x1c\x00\x00\x00\x00\x00\x00\x00\x00\x00\x63'
update power-lost-in-upload '\x1c\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x1a'
update power-lost-at-closing '\x1c\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x3a'
update no-return '\x1c\x0b'
update pieces-and-noise '\x1d\x72\x72\x72\x72\x72\x09\xff\x05\x06\x00'
# Replies that came after their request was resent, once taken for the
# answers to the next requests: block 0 saved as block 1, and acknowledgements
# of headers taken for the data's.
update late-block0-copies '\x08\x00\x73\x73\x73\x73'
update late-reads-then-no-return '\xff\xff\x6c\x73\x53\x13\x13'
update late-header-acks-both-regions '\x06\xff\xff\x7f\xb3\xb3\xb3\xb3\xb3'
update noise-then-late-acks-both-regions '\x06\xff\xff\xff\x7f\x30\xf9\xb3\xb3\xb3\xb3'
# The same change to a block's reply twice, with the replies between them
# lost to slow pieces and resends: two reads that agree on changed data. Line
# noise does not repeat itself so; the fuzzer's line must not either.
update same-change-twice-around-resends '\x56\x02\x00\x00\x00\x04\x56\x02\x00\x00\x04\x56\x02\x00\x00\x00\x00\x00\x00\x00\x00\x93\x04\x00\x00\x00\x04\x56\x02\x00\x00\x00\x93\x04'
# The same change made by another parameter (p = 7 and p = 15 both flip bit 7).
update same-bit-by-another-parameter '\x1d\x72\xd5\x74\x74\x74\x22\x74\x74\x74\x74\x74\x74\x74\x74\xff\x74\x74\x02\x74\x74\x74\x74\x74\x70\x74\xff\x74\x74\xf4\x74\x02\x24\x74\x74\x74\x74\x74\x74\x74\x64\x74\xff'
# A backup that fails before any code is sent: the last row says nothing changed.
update backup-fails-nothing-changed '\xec\xec\xec\xec\x1a\x13\xec\xec\xec\xec\xec\xec\xec\xec\xec\xec\xec\xec\xec\xec\xec\x1d\x00'
