"""The module's exception table (.pdata, data directory 3): what the Windows CE kernel reads to unwind a frame of
the module during an exception.

The kernel finds the function that holds a PC by a binary search of 8-byte entries sorted by start: word 0 the
function's start as a virtual address (relocated like any absolute address), word 1 PrologLen (bits 0-7), FuncLen
(bits 8-29), both counted in instructions, ThirtyTwoBit (bit 30) and ExceptionFlag (bit 31, a language handler,
which the module has none of). It undoes a frame by reading the PrologLen instructions at the function's start
backwards, and knows only a few forms; anything else there it skips in silence, and a PC no entry covers it takes
for a leaf that saved nothing. So the table is only right for code whose frame is set up by a contiguous prolog of
those forms at entry and nowhere else, which the module is compiled for (cmake/WinceModule.cmake). Every function
is read here, and one that does anything else stops the conversion: the table would make the kernel restore the
wrong registers and return to the wrong place.

One shape the compiler cannot be told to avoid is rewritten: a function that saves a single register other than
LR pushes it with `str rN, [sp, #-4]!`, a form the kernel does not know. `stmdb sp!, {rN}` is the same operation in
a form it does (and `ldmia sp!, {rN}` for the matching `ldr rN, [sp], #4`).
"""
import struct

PROLOG_LIMIT = 10       # the longest prolog the Windows CE 3.0 kernel reads
FUNC_LEN_LIMIT = 1 << 22

SP, LR, PC = 13, 14, 15
ALWAYS = 0xE


class UndescribableFunction(Exception):
    pass


# -- The instruction forms (condition field aside) ---------------------------------------------------------------

def is_push_multiple(word):       # stmdb sp!, {...}
    return word & 0x0FFF0000 == 0x092D0000


def is_push_one(word):            # str rN, [sp, #-imm]!
    return word & 0x0FFF0000 == 0x052D0000


def is_sub_sp_immediate(word):    # sub sp, sp, #imm
    return word & 0x0FFFF000 == 0x024DD000


def is_add_sp_immediate(word):    # add sp, sp, #imm
    return word & 0x0FFFF000 == 0x028DD000


def is_pop_multiple(word):        # ldmia sp!, {...}
    return word & 0x0FFF0000 == 0x08BD0000


def is_pop_one(word):             # ldr rN, [sp], #imm
    return word & 0x0FFF0000 == 0x049D0000


def is_branch(word):              # b or bl
    return word & 0x0E000000 == 0x0A000000


def branch_target(address, word):
    offset = word & 0x00FFFFFF
    if offset & 0x00800000:
        offset -= 0x01000000
    return address + 8 + 4 * offset


def is_data_processing(word):
    if word & 0x0C000000:
        return False
    # Multiplies, swaps and the halfword and signed loads share this space: register form with bits 7 and 4 set.
    return not (not word & 0x02000000 and word & 0x90 == 0x90)


def sp_change(word):
    """None when the instruction leaves SP alone; otherwise what it is: 'setup' (a frame set up), 'teardown' (a
    frame taken down, as an epilog does) or 'other' (SP moved in a way the kernel could not follow)."""
    if is_push_multiple(word) or is_push_one(word) or is_sub_sp_immediate(word):
        return "setup"
    if is_add_sp_immediate(word) or (is_pop_multiple(word) and not word & (1 << SP)):
        return "teardown"
    if is_pop_one(word) and word & 0x00800000 and (word >> 12) & 0xF != SP:
        return "teardown"
    if is_data_processing(word):
        opcode = (word >> 21) & 0xF
        if not 8 <= opcode <= 11 and (word >> 12) & 0xF == SP:
            return "other"
        return None
    if word & 0x0C000000 == 0x04000000:  # single load or store
        base, target = (word >> 16) & 0xF, (word >> 12) & 0xF
        writes_back = word & 0x00200000 or not word & 0x01000000
        if (base == SP and writes_back) or (word & 0x00100000 and target == SP):
            return "other"
        return None
    if word & 0x0E000000 == 0x08000000:  # load or store multiple
        base = (word >> 16) & 0xF
        if (base == SP and word & 0x00200000) or (word & 0x00100000 and word & (1 << SP)):
            return "other"
        return None
    if word & 0x0FFFFFF0 == 0x012FFF10:  # bx
        return None
    return None


def writes_lr(word):
    """Whether the instruction changes LR: a call, or LR as the destination of anything but the epilog's restore."""
    if is_branch(word) and word & 0x01000000:
        return True
    if is_data_processing(word):
        return not 8 <= (word >> 21) & 0xF <= 11 and (word >> 12) & 0xF == LR
    if word & 0x0C000000 == 0x04000000:
        return bool(word & 0x00100000) and (word >> 12) & 0xF == LR and (word >> 16) & 0xF != SP
    return False


# -- The functions of the image ------------------------------------------------------------------------------------

class Function:
    def __init__(self, name, start, size):
        self.name = name
        self.start = start
        self.size = size
        self.code = []          # addresses of the instructions (literal pools left out)
        self.prolog = 0
        self.rewrites = {}      # address -> the word that replaces the one there


def functions_of(image):
    """[Function] for every function symbol in .text, in address order, each with the addresses of its
    instructions as the mapping symbols ($a code, $d data) mark them. Code outside every function, two functions
    over one another, or a piece of a function placed apart from it stops the conversion."""
    text = next(s for s in image.sections if s[0] == ".text")
    _, text_start, text_size, _, _ = text
    functions = {}
    marks = []
    for symbol in image.elf.get_section_by_name(".symtab").iter_symbols():
        value = symbol["st_value"]
        if not text_start <= value < text_start + text_size:
            continue
        if symbol.name in ("$a", "$d") or symbol.name.startswith(("$a.", "$d.")):
            marks.append((value, symbol.name[1]))
        elif symbol.name.startswith("$t"):
            raise UndescribableFunction(f"Thumb code at {value:#x}, which the module may not hold")
        elif symbol["st_info"]["type"] == "STT_FUNC":
            if ".cold" in symbol.name:
                raise UndescribableFunction(f"{symbol.name}: a function in pieces (its cold part placed apart)")
            known = functions.get(value)
            if known and known.size != symbol["st_size"]:
                raise UndescribableFunction(f"{symbol.name} and {known.name} start together with other lengths")
            if not known:
                if symbol["st_size"] == 0 or symbol["st_size"] % 4:
                    raise UndescribableFunction(f"{symbol.name} has no length in whole instructions")
                functions[value] = Function(symbol.name, value, symbol["st_size"])
    ordered = [functions[start] for start in sorted(functions)]
    for function, following in zip(ordered, ordered[1:]):
        if function.start + function.size > following.start:
            raise UndescribableFunction(f"{function.name} overlaps {following.name}")
    marks.sort()
    kind_at = {}
    kind = None
    mark = 0
    for address in range(text_start, text_start + text_size, 4):
        while mark < len(marks) and marks[mark][0] <= address:
            kind = marks[mark][1]
            mark += 1
        kind_at[address] = kind
    covered = set()
    for function in ordered:
        for address in range(function.start, function.start + function.size, 4):
            covered.add(address)
            if kind_at.get(address) == "a":
                function.code.append(address)
    stray = [address for address, kind in kind_at.items() if kind == "a" and address not in covered]
    if stray:
        raise UndescribableFunction(f"code at {min(stray):#x} belongs to no function")
    return ordered


def describe(function, image, starts):
    """Fills in the function's prolog length and rewrites, or says why the kernel could not unwind it."""
    words = {address: image.word(address) for address in function.code}
    where = function.name
    prolog = []
    at = function.start
    saves_lr = False
    single = None
    while at in words and (is_push_multiple(words[at]) or is_push_one(words[at]) or is_sub_sp_immediate(words[at])):
        word = words[at]
        if word >> 28 != ALWAYS:
            raise UndescribableFunction(f"{where}: a conditional instruction in the prolog at {at:#x}")
        if is_push_multiple(word):
            if word & (1 << PC) or word & (1 << SP):
                raise UndescribableFunction(f"{where}: a push of {'pc' if word & (1 << PC) else 'sp'} at {at:#x}, "
                                            "an instruction form the unwinder does not read as a save")
            saves_lr |= bool(word & (1 << LR))
        elif is_push_one(word):
            register, step = (word >> 12) & 0xF, word & 0xFFF
            if register == LR:
                saves_lr = True
            elif step == 4 and register not in (SP, PC):
                function.rewrites[at] = (word & 0xF0000000) | 0x092D0000 | (1 << register)
                single = register
            else:
                raise UndescribableFunction(f"{where}: str r{register}, [sp, #-{step}]! at {at:#x}, an instruction "
                                            "form the unwinder does not know")
        prolog.append(at)
        at += 4
    if len(prolog) > PROLOG_LIMIT:
        raise UndescribableFunction(f"{where}: a prolog of {len(prolog)} instructions, more than the "
                                    f"{PROLOG_LIMIT} the unwinder reads")
    for address in function.code[len(prolog):]:
        word = words[address]
        change = sp_change(word)
        if change == "setup":
            raise UndescribableFunction(f"{where}: its frame is set up after the prolog, at {address:#x} "
                                        f"({word:#010x})")
        if change == "other":
            raise UndescribableFunction(f"{where}: an instruction form the unwinder does not know moves sp at "
                                        f"{address:#x} ({word:#010x})")
        if writes_lr(word) and not saves_lr:
            raise UndescribableFunction(f"{where}: changes lr at {address:#x} without saving it in its prolog")
        if single is not None and word & 0x0FFFFFFF == 0x049D0004 | (single << 12):
            function.rewrites[address] = (word & 0xF0000000) | 0x08BD0000 | (1 << single)
        if is_branch(word):
            target = branch_target(address, word)
            inside = function.start <= target < function.start + function.size
            if not inside and target not in starts:
                raise UndescribableFunction(f"{where}: a branch at {address:#x} into the middle of other code "
                                            f"({target:#x}): a function in pieces")
    function.prolog = len(prolog)


def build_exception_table(image, section):
    """Describes every function, applies the rewrites to the image, and writes the table into `section`: one entry
    per function that sets up a frame (a leaf needs none: the kernel takes any PC no entry covers for one).
    Returns ((rva, size) of directory 3, [RVAs of the words that need a base relocation])."""
    ordered = functions_of(image)
    starts = {function.start for function in ordered}
    entries = []
    for function in ordered:
        describe(function, image, starts)
        if function.size // 4 >= FUNC_LEN_LIMIT:
            raise UndescribableFunction(f"{function.name} is longer than a table entry can say")
        if function.prolog:
            entries.append(function)
    for function in ordered:
        for address, word in function.rewrites.items():
            image.put_word(address, word)
    if not entries:
        return (0, 0), []
    table = bytearray()
    for function in entries:
        table += struct.pack("<II", function.start,
                             function.prolog | (function.size // 4) << 8 | 1 << 30)
    start = section.add(bytes(table), 4)
    return (start, len(table)), [start + 8 * k for k in range(len(entries))]
