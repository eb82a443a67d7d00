#!/usr/bin/env bash
# Makes examples/demo.hex, the demonstration firmware: an image of 40,000 bytes (19 whole blocks
# and a short one of 1,088) with a gap that the loader fills with zeros. It is written by srec_cat
# (Debian: srecord), a producer independent of brelwick.
set -euo pipefail
cd "$(dirname "$0")"
srec_cat \
  -generate 0x0000 0x6000 -repeat-string "brelwick demo firmware - not for a real unit. " \
  -generate 0x7000 0x9C40 -repeat-data 0x55 0xAA 0x0F 0xF0 0x0A 0x0D 0x11 0x13 \
  -o demo.hex -intel -output_block_size=16
echo "wrote $(pwd)/demo.hex"
