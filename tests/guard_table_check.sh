#!/bin/bash
# Checks, by reading the file, that a 64-bit Windows program's control-flow
# guard is complete: Windows ends a guarded program at the first indirect
# call to an address missing from its guard function table, and Wine does
# not enforce the guard at all, so running the program proves nothing.
#
#   guard_table_check.sh EXECUTABLE
#
# It requires:
#   - the header's guard bit, and a load configuration that says the code is
#     instrumented and carries a function table;
#   - in that table, every code address that the image stores (the targets
#     of its 64-bit base relocations), every code address that its code
#     computes (a RIP-relative lea into an executable section), and the
#     entry point;
#   - every indirect call or jump to go through the import address table or
#     through the guard's check or dispatch pointer; the one jump through a
#     register allowed is the default dispatch routine's own.
# Prints each fault and a summary; exits 1 when there is a fault. Uses LLVM's
# readobj and objdump (LLVM_READOBJ, LLVM_OBJDUMP; default the -19 ones).
set -euo pipefail

if [ $# -ne 1 ] || [ ! -f "$1" ]; then
  echo "usage: $0 EXECUTABLE" >&2
  exit 2
fi
exe=$1
readobj=${LLVM_READOBJ:-llvm-readobj-19}
objdump=${LLVM_OBJDUMP:-llvm-objdump-19}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$readobj" --file-headers --sections --coff-load-config --coff-basereloc \
  "$exe" >"$work/headers"
# Code, in Intel syntax: RIP-relative operands end with "# 0xADDRESS".
"$objdump" -d --no-show-raw-insn -M intel "$exe" >"$work/code"
# The contents of every section but the resources (the payloads), to read
# the stored addresses from.
sections=$(awk '/^ *Name: / { print $2 }' "$work/headers" | grep -vx '.rsrc' |
  sed 's/^/-j /' | tr '\n' ' ')
# shellcheck disable=SC2086 # one -j option per section
"$objdump" -s $sections "$exe" >"$work/contents"

awk -v exe="$exe" '
  function hex(text,    i, value) {
    text = tolower(text)
    sub(/^0x/, "", text)
    value = 0
    for (i = 1; i <= length(text); i++)
      value = value * 16 + index("0123456789abcdef", substr(text, i, 1)) - 1
    return value
  }
  # Bit test without gawk extensions.
  function has_bit(value, bit) {
    return int(value / bit) % 2
  }
  function fault(text) {
    print exe ": " text
    faults++
  }
  function is_code(address,    s) {
    for (s = 1; s <= sections; s++)
      if (executable[s] && address >= start[s] && address < end[s])
        return 1
    return 0
  }
  # Addresses are kept as hex text: awk would print a number this large in
  # exponent form, and so key arrays with it.
  function name(address,    text) {
    text = ""
    do {
      text = substr("0123456789abcdef", address % 16 + 1, 1) text
      address = int(address / 16)
    } while (address > 0)
    return "0x" text
  }

  # The headers, the sections, the load configuration and the relocations.
  FILENAME ~ /headers$/ {
    if ($1 == "ImageBase:") base = hex($2)
    else if ($1 == "AddressOfEntryPoint:") entry = hex($2)
    else if ($1 == "IATRVA:") iat = hex($2)
    else if ($1 == "IATSize:") iat_size = hex($2)
    else if ($1 == "IMAGE_DLL_CHARACTERISTICS_GUARD_CF") guard_bit = 1
    else if ($1 == "GuardFlags") guard_flags = hex(substr($3, 2))
    else if ($1 == "GuardCFCheckFunction:") check_pointer = hex($2)
    else if ($1 == "GuardCFCheckDispatch:") dispatch_pointer = hex($2)
    else if ($1 == "GuardCFFunctionCount:") listed_count = $2
    else if ($1 == "GuardFidTable") in_table = 1
    else if (in_table && $1 == "]") in_table = 0
    else if (in_table) { table[name(hex($1))] = 1; table_size++ }
    else if ($1 == "Name:" && $2 ~ /^\./) sections++
    else if ($1 == "VirtualSize:") size[sections] = hex($2)
    else if ($1 == "VirtualAddress:") {
      start[sections] = base + hex($2)
      end[sections] = start[sections] + size[sections]
    }
    else if ($1 == "IMAGE_SCN_MEM_EXECUTE") executable[sections] = 1
    else if ($1 == "Type:") reloc_type = $2
    else if ($1 == "Address:" && reloc_type == "DIR64") {
      # The eight bytes stored there, gathered from the contents below.
      stored[name(base + hex($2))] = ""
      relocs++
    }
    next
  }

  # Section contents: an address, then up to 16 bytes in four columns of
  # four, padded to full width, then the same bytes as text.
  FILENAME ~ /contents$/ && $1 ~ /^[0-9a-f]+$/ && length($1) > 8 {
    at = hex($1)
    groups = split(substr($0, index($0, $1) + length($1) + 1, 35), group, " ")
    for (g = 1; g <= groups; g++) {
      for (b = 0; b < length(group[g]) / 2; b++) {
        byte_at = at + (g - 1) * 4 + b
        for (back = 0; back < 8; back++) {
          key = name(byte_at - back)
          if (key in stored && length(stored[key]) == 2 * back)
            stored[key] = stored[key] substr(group[g], 2 * b + 1, 2)
        }
      }
    }
    next
  }

  # The code.
  FILENAME ~ /code$/ && $1 ~ /^[0-9a-f]+:$/ {
    instructions++
    address = hex(substr($1, 1, length($1) - 1))
    op = $2
    target = ""
    if (match($0, /# 0x[0-9a-f]+/))
      target = hex(substr($0, RSTART + 2, RLENGTH - 2))
    if (op == "lea" && target != "" && is_code(target)) {
      computed++
      if (!(name(target) in table))
        fault("code address " name(target) " computed at " name(address) " is not in the guard table")
    }
    if (op == "call" || op == "jmp") {
      operand = $0
      sub(/^[^\t]*\t[a-z]+\t/, "", operand)
      if (operand ~ /^0x[0-9a-f]+ </) {
        direct++
      } else if (operand ~ /ptr \[rip/ && target != "") {
        indirect++
        if (target >= base + iat && target < base + iat + iat_size) through_iat++
        else if (target == check_pointer || target == dispatch_pointer) through_guard++
        else fault("indirect " op " at " name(address) " goes through " name(target) ", neither the import table nor the guard")
      } else {
        through_register[name(address)] = op " " operand
      }
    }
    next
  }

  END {
    if (!guard_bit) fault("the header does not ask for control-flow guard")
    if (!has_bit(guard_flags, 256)) fault("the load configuration does not say the code is instrumented")
    if (!has_bit(guard_flags, 1024)) fault("the load configuration has no guard function table")
    if (table_size == 0 || table_size != listed_count)
      fault("the guard function table lists " table_size + 0 " of " listed_count + 0 " functions")
    if (!(name(base + entry) in table))
      fault("the entry point " name(base + entry) " is not in the guard table")

    # Stored code addresses, and the default dispatch routine among them.
    for (at in stored) {
      if (length(stored[at]) != 16) {
        fault("cannot read the address stored at " at)
        continue
      }
      value = 0
      for (b = 7; b >= 0; b--) value = value * 256 + hex(substr(stored[at], 2 * b + 1, 2))
      if (at == name(dispatch_pointer)) dispatch_routine = name(value)
      if (is_code(value)) {
        kept++
        if (!(name(value) in table))
          fault("code address " name(value) " stored at " at " is not in the guard table")
      }
    }
    for (at in through_register) {
      if (through_register[at] ~ /^jmp r[a-z0-9]+$/ && at == dispatch_routine) {
        indirect++
        continue
      }
      fault("indirect " through_register[at] " at " at " goes through a register, unguarded")
    }
    if (instructions == 0 || relocs == 0)
      fault("read " instructions + 0 " instructions and " relocs + 0 " relocations: nothing to check")
    printf "%s: %d functions in the guard table; %d stored and %d computed code addresses; %d indirect calls and jumps (%d through the import table, %d through the guard); %d direct\n", exe, table_size, kept, computed, indirect, through_iat, through_guard, direct
    if (faults) {
      print exe ": " faults " faults: the control-flow guard is incomplete"
      exit 1
    }
    print exe ": the control-flow guard is complete"
  }
' "$work/headers" "$work/contents" "$work/code"
