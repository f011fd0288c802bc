#!/usr/bin/env python3
"""Turns docs/reference.md into the scdoc source of vantor.ini(5), so the
manual page and the reference are one text. Handles what the reference
uses: headings, paragraphs, "-" lists, fenced code blocks and `code`.
What is there for the developers stays out of the manual: a paragraph after
a "<!-- developers -->" line, and pointers to docs/*.md, which are not
installed."""
import re
import sys


def inline(text):
    # scdoc has no code spans: they become bold, the way man pages show
    # literal names. Markdown links keep their text.
    text = re.sub(r"\[([^\]]+)\]\([^)]+\)", r"\1", text)
    text = text.replace("\\", "\\\\").replace("*", "\\*").replace("_", "\\_")
    return re.sub(r"`([^`]+)`", lambda m: "*" + m.group(1) + "*", text)


def main(src, dst):
    out = ["vantor.ini(5)", "", "# NAME", "",
           "vantor.ini - the configuration file of the vantor FTP server", ""]
    in_code = False
    with open(src) as f:
        lines = f.read().splitlines()
    skipping = False
    for line in lines[1:]:  # the first line is the document's title
        if line.strip() == "<!-- developers -->":
            skipping = True
            continue
        if skipping:
            skipping = line.strip() != ""
            continue
        if line.startswith("```"):
            out.append("```")
            in_code = not in_code
            continue
        if in_code:
            out.append(line)
        elif line.startswith("## "):
            out += ["# " + line[3:].upper(), ""] if out[-1] == "" else ["", "# " + line[3:].upper(), ""]
        elif line.startswith("### "):
            out += ["## " + inline(line[4:]), ""]
        elif line.startswith("|"):
            # Tables: one line per row, cells joined with " - ".
            cells = [c.strip() for c in line.strip("|").split("|")]
            if all(re.fullmatch(r":?-+:?", c) for c in cells):
                continue
            out.append("- " + inline(" - ".join(cells)))
        elif re.match(r"^\s*- ", line):
            indent = len(line) - len(line.lstrip())
            out.append(("\t" * (indent // 2)) + "- " + inline(line.strip()[2:]))
        elif line.startswith("  ") and out and out[-1].lstrip("\t").startswith("- "):
            out[-1] += " " + inline(line.strip())
        else:
            out.append(inline(line))
    out += ["", "# SEE ALSO", "", "*vantor*(8), *vantor-gui*(1)", ""]
    text = "\n".join(out)
    text = re.sub(r"\s*\((?:see )?docs/[\w-]+\.md[^)]*\)", "", text)
    text = re.sub(r"\s*See docs/[\w-]+\.md[^.]*\.", "", text)
    with open(dst, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
