"""The file layer under hostile use, against the real server over 127.0.0.1:
letter-case siblings of a home directory, stale and unbounded listings,
names that could never be reached again, a current directory removed under
the session, and directories whose renaming would escape an access rule."""
import os

from ftp_e2e import Checker, login, read_file, tree_server, wait_until, write_file

c = Checker()

CUT = "226 Transfer complete, listing cut at the server's limit of entries."


def listing(ftp, verb):
    """(first reply, data lines, closing reply) of a passive LIST or NLST."""
    first, data, end = ftp.transfer(verb)
    if data is None:
        return first, None, None
    return first, data.decode("latin-1").split("\r\n")[:-1], end[-1]


def listed_soon(ftp, verb, name):
    """Whether the listing shows `name` within 10 seconds; its last lines."""
    last = []

    def shows():
        last[:] = listing(ftp, verb)[1]
        return any(l.endswith(" " + name) for l in last)
    return wait_until(shows), last


# A case variant of home ("PUB" beside the home "pub") is a sibling on this
# disk: nothing in it is read, listed, written, renamed or removed, whatever
# the letter case the client writes.
def case_variant_of_home():
    users = {"anonymous": ("", "C:\\pub", "C:\\pub,RWAMDCLP", ["RelPaths=YES"])}
    with tree_server(users=users) as srv:
        write_file(srv.path("pub", "readme.txt"), b"public\n")
        write_file(srv.path("PUB", "private.txt"), b"private\n")
        os.makedirs(srv.path("PUB", "inner"))
        ftp = login(srv.port, "anonymous", "guest@example.org")
        for name in ["/../PUB/private.txt", "../PUB/private.txt", "/../pub/../PUB/private.txt",
                     "/../PUB/./private.txt", "/../Pub/private.txt", "~/../PUB/private.txt"]:
            first, data, _ = ftp.retr(name)
            c.eq(first, "550 /private.txt: No such file or directory.", "RETR " + name)
            c.eq(data, None, "RETR %s sends nothing" % name)
        for verb in ["LIST /", "LIST /../PUB", "LIST -la /../PUB", "LIST", "NLST -R /",
                     "NLST -R /../PUB", "LIST -R /.."]:
            first, lines, last = listing(ftp, verb)
            text = "\n".join(lines or [])
            c.eq(last, "226 Transfer complete.", verb + " closing reply")
            c.true("private" not in text and "inner" not in text and "PUB" not in text,
                   "%s shows the sibling: %r" % (verb, lines))
        first, lines, _ = listing(ftp, "LIST /")
        c.eq(len([l for l in lines if l.endswith(" readme.txt")]), 1, "LIST / shows home once")
        c.replies(ftp, [("CWD /../PUB", "250 Directory changed to /"),
                        ("PWD", '257 "/" is current directory.')])
        c.eq(listing(ftp, "NLST")[1], ["readme.txt"], "NLST after CWD /../PUB")
        c.eq(ftp.stor("STOR /../PUB/new.txt", b"n\n")[1], ["226 Transfer complete."], "STOR")
        missing = "550 /%s: No such file or directory."
        c.replies(ftp, [("CWD /../PUB/inner", missing % "inner"),
                        ("RNFR /../PUB/private.txt", missing % "private.txt"),
                        ("DELE /../PUB/private.txt", missing % "private.txt"),
                        ("MKD /../PUB/made", '257 "/made" directory created.'),
                        ("RMD /../PUB/inner", missing % "inner")])
        for name in ("new.txt", "made"):
            c.true(os.path.exists(srv.path("pub", name)), name + " lands in home")
            c.true(not os.path.exists(srv.path("PUB", name)), name + " stays out of the sibling")
        c.eq(read_file(srv.path("PUB", "private.txt")), b"private\n", "the sibling's file intact")
        c.true(os.path.isdir(srv.path("PUB", "inner")), "the sibling's directory is intact")
        c.true(not srv.has_line(lambda l: "private" in l and "Sent file" in l, 0.5),
               "no file was sent: %r" % [l for l in srv.lines if "private" in l])
        ftp.close()


# A listing of a named directory is fresh after a change made through the
# server and after one made by another program, in every option spelling.
def listed_directory_is_watched():
    with tree_server() as srv:
        os.makedirs(srv.path("sub"))
        write_file(srv.path("sub", "old.txt"), b"o")
        ftp = login(srv.port)
        for verb in ["LIST sub", "LIST -l sub", "NLST sub/", "LIST -R sub"]:
            listing(ftp, verb)
            listing(ftp, verb)  # now cached
        c.eq(ftp.stor("STOR sub/new.txt", b"n")[1], ["226 Transfer complete."], "STOR sub/new.txt")
        for verb in ["LIST sub", "LIST -l sub", "LIST -R sub"]:
            _, lines, _ = listing(ftp, verb)
            c.true(any(l.endswith(" new.txt") for l in lines),
                   "%s right after STOR: %r" % (verb, lines))
        c.eq(ftp.last("DELE sub/old.txt"), "250 DELE command successful.", "DELE")
        _, lines, _ = listing(ftp, "LIST sub")
        c.true(not any(l.endswith(" old.txt") for l in lines), "LIST sub after DELE: %r" % lines)
        # Another program writes into the directory.
        write_file(srv.path("sub", "other.txt"), b"x")
        seen, lines = listed_soon(ftp, "LIST -l sub", "other.txt")
        c.true(seen, "LIST -l sub after another program wrote: %r" % lines)
        os.makedirs(srv.path("sub", "deep"))
        listing(ftp, "LIST -R sub")
        write_file(srv.path("sub", "deep", "d.txt"), b"d")
        seen, lines = listed_soon(ftp, "LIST -R sub", "d.txt")
        c.true(seen, "LIST -R sub after a write two levels down: %r" % lines)
        ftp.close()


# MaxListEntries bounds one listing; the closing reply says it was cut.
# Recursive and cached listings count and stay marked the same way:
# ListingTest.EntryLimitCutsListing.
def listing_is_bounded():
    with tree_server(["MaxListEntries=50"]) as srv:
        for i in range(120):
            write_file(srv.path("big", "f%03d.txt" % i), b"")
        for i in range(30):
            write_file(srv.path("small", "s%02d.txt" % i), b"")
        ftp = login(srv.port)
        for verb, count, last in [("LIST big", 51, CUT),  # total line, 50 entries with . and ..
                                  ("NLST big/*", 50, CUT),
                                  ("LIST small", 33, "226 Transfer complete.")]:
            _, lines, end = listing(ftp, verb)
            c.eq((len(lines), end), (count, last), verb)
        ftp.close()


# "*" and "?" in a name being created: refused with a clear 550, nothing made.
def wildcard_names_refused():
    users = {"joe": ("secret", "C:\\pub", "C:\\pub,RWAMDCLP", ["RelPaths=YES"])}
    with tree_server(users=users) as srv:
        write_file(srv.path("pub", "f.txt"), b"f")
        ftp = login(srv.port)
        bad = '550 %s: Names with "*" or "?" cannot be created.'
        c.eq(ftp.stor("STOR star*.txt", b"x"), (bad % "/star*.txt", None), "STOR star*.txt")
        c.eq(ftp.stor("APPE q?.txt", b"x"), (bad % "/q?.txt", None), "APPE q?.txt")
        c.replies(ftp, [("MKD dir*", bad % "/dir*"),
                        ("RNFR f.txt", "350 File or directory exists, ready for destination name"),
                        ("RNTO g?.txt", bad % "/g?.txt")])
        c.eq(sorted(os.listdir(srv.path("pub"))), ["f.txt"], "nothing was created")
        ftp.close()


# Session B removes session A's current directory: A's commands acting
# inside it fail with 550 instead of reaching the parent.
def removed_current_directory():
    with tree_server() as srv:
        write_file(srv.path("pub", "README.txt"), b"parent readme\n")
        write_file(srv.path("pub", "keep.txt"), b"keep\n")
        a = login(srv.port)
        b = login(srv.port)
        c.replies(a, [("MKD /c:/pub/work", '257 "/c:/pub/work" directory created.'),
                      ("CWD /c:/pub/work", "250 Directory changed to /c:/pub/work")])
        c.eq(b.last("RMD /c:/pub/work"), "250 RMD command successful.", "RMD by B")
        c.eq(a.stor("STOR README.txt", b"overwritten\n"),
             ("550 README.txt: Cannot create file.", None), "STOR in the removed directory")
        gone = "550 /c:/pub/work%s: No such file or directory."
        c.eq(a.retr("README.txt")[0], gone % "/README.txt", "RETR in the removed directory")
        c.replies(a, [("DELE keep.txt", gone % "/keep.txt"),
                      ("MKD new", "550 /c:/pub/work/new: failed to create."),
                      ("LIST", gone % ""), ("NLST", gone % ""),
                      ("PWD", '257 "/c:/pub/work" is current directory.')], "removed: ")
        c.eq(read_file(srv.path("pub", "README.txt")), b"parent readme\n", "parent README intact")
        c.eq(read_file(srv.path("pub", "keep.txt")), b"keep\n", "parent keep.txt intact")
        c.true(not os.path.exists(srv.path("pub", "new")), "nothing made in the parent")
        c.eq(a.last("CDUP"), "250 Directory changed to /c:/pub", "CDUP leaves it")
        a.close()
        b.close()


# A directory that an access rule names (or holds a path a rule names) is
# not renamed: the rule would no longer guard its files. An empty one may be
# removed, also when its own rule grants D: it carries nothing away.
def rule_directories_kept():
    users = {"joe": ("secret", "C:\\",
                     "C:\\secret,P;C:\\pub\\private,P;C:\\keep\\later,P;C:\\old,DL;"
                     "C:\\,RWAMLCDP", [])}
    with tree_server(users=users) as srv:
        write_file(srv.path("pub", "private", "p.txt"), b"private\n")
        os.makedirs(srv.path("secret"))
        os.makedirs(srv.path("keep"))
        os.makedirs(srv.path("old"))
        os.makedirs(srv.path("other", "inner"))
        ftp = login(srv.port)
        rule = "550 %s: An access rule names a path inside this directory."
        # The parent of a ruled path in either letter case, the ruled
        # directory itself; an empty directory a rule names a path in, an
        # empty one its own rule lets go.
        c.replies(ftp, [("RNFR /c:/pub", rule % "/c:/pub"),
                        ("RNTO /c:/pub2", "503 Bad sequence of commands."),
                        ("RNFR /C:/PUB", rule % "/C:/PUB"),
                        ("RNFR /c:/pub/private", "550 Permission denied"),
                        ("RNFR /c:/keep", rule % "/c:/keep"),
                        ("RMD /c:/keep", "250 RMD command successful."),
                        ("RMD /c:/old", "250 RMD command successful."),
                        ("RMD /c:/pub", "550 /c:/pub: Directory not empty.")])
        c.true(os.path.isdir(srv.path("pub", "private")), "the ruled directory stays")
        c.true(not os.path.exists(srv.path("keep")) and not os.path.exists(srv.path("old")),
               "the empty directories are gone")
        c.eq(ftp.retr("/c:/pub/private/p.txt")[0][:3], "550", "the rule still guards p.txt")
        # Directories no rule names inside stay free to move.
        ready = "350 File or directory exists, ready for destination name"
        c.replies(ftp, [("RNFR /c:/other", ready),
                        ("RNTO /c:/other2", "250 RNTO command successful."),
                        ("RMD /c:/other2/inner", "250 RMD command successful.")])
        ftp.close()


# (The cache key of parsed options: CacheTest.KeyIsParsedOptions; HideHidden keeping "."
# and "..": ListingTest.HideHiddenKeepsDotEntries.)
c.cases([case_variant_of_home, listed_directory_is_watched, listing_is_bounded,
         wildcard_names_refused,
         removed_current_directory, rule_directories_kept])
c.finish()
