#!/usr/bin/env python3
"""Fails unless the cross-built vector loops really run vector instructions.

Usage: check_vector_loops.py <aarch64|s390x> <build directory>

Disassembles each library with the target's objdump, starts from the
function the dispatcher picks on a processor with vector registers, follows
its direct calls and jumps, and finds the loops (backward branches) in all
of them.  The loop with the most instructions that name a vector register
(v0-v31 with an arrangement, or q0-q31, on aarch64; %v0-%v31 on s390x) must
have enough of them.  A compiler that falls back to scalar code, or a build
that drops the target attribute, leaves the loop without them.
"""
import re
import subprocess
import sys

# (library, what it is, the function dispatched, fewest vector instructions)
LOOPS = [
    ("ibmfloat/libibmfloat.so", "four-lane IBM conversion",
     "ibmfloat::convert_vector(float*, int)", 16),
    ("traveltime/libtraveltime.so", "two-lane phase search",
     "traveltime::phase_search_vector(double, double, double const*, double const*, double*, "
     "int*, int)", 8),
]
CALL_DEPTH = 4

VECTOR_OPERAND = {
    "aarch64": re.compile(r"\bv\d+\.(?:16b|8b|8h|4h|4s|2s|2d|1d|[bhsd]\[\d+\])|\bq\d+\b"),
    "s390x": re.compile(r"%v\d+\b"),
}
BRANCH = {
    # Conditional or unconditional branches whose operand is an address.
    "aarch64": re.compile(r"^(?:b(?:\.\w+)?|cbn?z|tbn?z)$"),
    "s390x": re.compile(r"^(?:j\w*|brc\w*|brct\w*|c\w*j\w*)$"),
}
FUNCTION = re.compile(r"^([0-9a-f]+) <(.+)>:$")
INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\s+(\S+)\s*(.*)$")
TARGET = re.compile(r"\b([0-9a-f]+) <(.*)>(?:\s+//.*)?\s*$")  # address <function+offset>


def functions(objdump, library):
    """Yields (name, [(address, mnemonic, operands)]) for every function."""
    text = subprocess.run([objdump, "-d", "--no-show-raw-insn", "-C", library],
                          check=True, capture_output=True, text=True).stdout
    name, body = None, []
    for line in text.splitlines():
        if m := FUNCTION.match(line):
            if name:
                yield name, body
            name, body = m.group(2), []
        elif name and (m := INSTRUCTION.match(line)):
            body.append((int(m.group(1), 16), m.group(2), m.group(3)))
    if name:
        yield name, body


def reachable(code, entry):
    """entry and the functions it reaches through direct calls and jumps."""
    found, frontier = {entry}, [entry]
    for _ in range(CALL_DEPTH):
        called = set()
        for name in frontier:
            for _, _, operands in code.get(name, []):
                if m := TARGET.search(operands):
                    called.add(re.sub(r"\+0x[0-9a-f]+$", "", m.group(2)))
        frontier = [name for name in called if name in code and name not in found]
        found.update(frontier)
    return found


def loops(body, branch):
    """Yields the instructions of every loop: from a backward branch's target to it."""
    for i, (address, mnemonic, operands) in enumerate(body):
        if not branch.match(mnemonic):
            continue
        target = TARGET.search(operands)
        if target and body[0][0] <= int(target.group(1), 16) < address:
            start = int(target.group(1), 16)
            yield [insn for insn in body[: i + 1] if insn[0] >= start]


def main():
    target, build = sys.argv[1], sys.argv[2]
    objdump = f"{target}-linux-gnu-objdump"
    vector, branch = VECTOR_OPERAND[target], BRANCH[target]
    failed = False
    for library, what, entry, fewest in LOOPS:
        code = dict(functions(objdump, f"{build}/{library}"))
        best = (0, 0, "no loop found")
        for name in reachable(code, entry) if entry in code else ():
            for loop in loops(code[name], branch):
                count = sum(1 for _, _, operands in loop if vector.search(operands))
                best = max(best, (count, len(loop), name))
        count, size, name = best
        ok = count >= fewest
        failed |= not ok
        print(f"{'ok' if ok else 'FAILED'}: {target} {what}: {count} vector instructions "
              f"in a {size}-instruction loop of {name} (at least {fewest} wanted)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
