# Doxygen input filter for the library's headers, which are commented in plain `//` style.
# It turns those comments into documentation without touching the headers:
#   - the comment block that opens a header describes the file;
#   - a whole-line comment describes the declaration below it (section rulers "// ---" excepted);
#   - a comment after a member or enumerator on the same line describes that member.
# Characters Doxygen would read as commands or markup are escaped in the comment text.
# Only the opening block gains a line (the \file command), so line numbers stay close.

function escape(text) {
    gsub(/[@<>&#%$]/, "\\\\&", text)
    return text
}

# Indented text (a code example) is shown verbatim and needs no escapes.
function document(line, marker,    at, text) {
    at = index(line, "//")
    text = substr(line, at + 2)
    if (text !~ /^     /) {
        text = escape(text)
    }
    return substr(line, 1, at - 1) marker text
}

BEGIN { opening = 1 }

opening && /^\/\// {
    if (NR == 1) {
        print "/// \\file"
    }
    print document($0, "///")
    next
}

{ opening = 0 }

/^[ \t]*\/\/ ---/ { print; next }
/^[ \t]*\/\/ / { print document($0, "///"); next }
/[;,{][ \t]*\/\/ / && !/"/ { print document($0, "///<"); next }
{ print }
