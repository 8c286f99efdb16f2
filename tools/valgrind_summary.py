"""Summarises a memcheck log: errors and definitely lost blocks, split into
those whose stack passes through the extension and the interpreter's own.
Exits 1 when any of them is ours."""

import re
import sys

OURS = re.compile(r"klov_core|/src/(module|json|graph|audit|vector)/")


def records(text):
    """The log's reports: runs of lines between blank '==pid==' lines."""
    block = []
    for line in text.splitlines():
        body = re.sub(r"^==\d+== ?", "", line)
        if body.strip():
            block.append(body)
        elif block:
            yield block
            block = []
    if block:
        yield block


def main(path):
    text = open(path, errors="replace").read()
    errors = {"ours": [], "interpreter": []}
    lost = {"ours": 0, "interpreter": 0}
    for block in records(text):
        head = block[0]
        if not (block[1:] and block[1].lstrip().startswith(("at ", "by "))):
            continue  # not a report with a stack
        owner = "ours" if any(OURS.search(line) for line in block) else "interpreter"
        m = re.match(r"([\d,]+) (?:\([\d,]+ direct, [\d,]+ indirect\) )?bytes in [\d,]+ blocks are definitely lost", head)
        if m:
            lost[owner] += int(m.group(1).replace(",", ""))
        elif "lost in loss record" not in head:
            errors[owner].append(block)
    summary = re.search(r"ERROR SUMMARY: .*", text)
    if not summary:
        print("no ERROR SUMMARY in the log: memcheck did not run the interpreter to the end")
        return 1
    print(summary.group(0))
    print(f"errors through klov_core: {len(errors['ours'])}; interpreter's own: {len(errors['interpreter'])}")
    print(f"definitely lost through klov_core: {lost['ours']} bytes; interpreter's own: {lost['interpreter']} bytes")
    for block in errors["ours"]:
        print("\n".join(block[:20]), end="\n\n")
    return 1 if errors["ours"] or lost["ours"] else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
