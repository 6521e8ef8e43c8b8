# Doxygen input filter for the public headers (awk -f doxygen_filter.awk
# FILE).  The headers carry their contracts in plain C comments, so this
# turns them into documentation comments on the fly instead of marking every
# comment in the sources:
#   - the comment that opens the file documents the file;
#   - a comment on lines of its own documents what follows it; when it heads
#     several declarations in a row (no blank line between), they become one
#     member group headed by that comment, which each member then shows
#     (DISTRIBUTE_GROUP_DOC);
#   - a comment after code on the same line documents that member.
# Backslashes, at-signs, '#' and '::' in comments are escaped so Doxygen
# reads them as text.  Lines are never added or removed, so warnings point
# at the real line numbers.

function escape_comment(line) {
    gsub(/\\/, "\\\\\\\\", line)
    gsub(/@/, "\\@", line)
    gsub(/#/, "\\#", line)
    gsub(/::/, "\\::", line)
    return line
}

# Converts the comments of one line; in_comment carries across lines.
function convert(line,    out, pos, code) {
    if (in_comment) {
        line = escape_comment(line)
        if (index(line, "*/")) in_comment = 0
        return line
    }
    pos = index(line, "/*")
    if (pos == 0) return line
    code = substr(line, 1, pos - 1)
    out = substr(line, pos)
    if (index(substr(out, 3), "*/") == 0) in_comment = 1
    out = escape_comment(out)
    if (out ~ /^\/\*\*/) return code out
    if (NR == 1) return code "/** \\file" substr(out, 3)
    if (code ~ /^[ \t]*$/) return code "/**" substr(out, 3)
    return code "/**<" substr(out, 3)
}

# Brace depth change and statement ends (';' or a body closed at the base
# depth) of one code line, comments stripped.
function scan(line,    i, c, code) {
    code = line
    gsub(/\/\*.*\*\//, "", code)
    sub(/\/\*.*/, "", code)
    if (code ~ /^[ \t]*#[ \t]*define/) { last_define = 1; if (code !~ /\\$/) statements++; cont = (code ~ /\\$/); return }
    if (cont) { cont = (code ~ /\\$/); if (!cont) statements++; return }
    if (code ~ /^[ \t]*#/) return
    if (code ~ /^KT_EXTERN_C_/) return
    for (i = 1; i <= length(code); i++) {
        c = substr(code, i, 1)
        if (c == "{") {
            if (!in_body && pending ~ /\)/) { in_body = 1; body_depth = depth }
            depth++
        } else if (c == "}") {
            depth--
            if (in_body && depth == body_depth) in_body = 0
            if (depth == base && substr(code, i + 1) !~ /;/) { statements++; last_define = 0 }
            pending = ""
        } else if (c == ";") {
            if (depth == base) { statements++; last_define = 0 }
            pending = ""
        } else {
            pending = pending c
        }
    }
}

# Prints the held lines as a group when they hold two or more declarations.
# The group closes at the end of its last line, unless that line is a
# #define (a comment there would belong to the macro): then at the start of
# the next line, and no group is made when that line is a directive.
function flush(next_raw,    i) {
    if (n == 0) return
    if (grouping && statements >= 2 && !has_directive) {
        if (!last_define) {
            buf[comment_end] = buf[comment_end] " /** @{ */"
            buf[n] = buf[n] " /** @} */"
        } else if (next_raw !~ /^[ \t]*#/) {
            buf[comment_end] = buf[comment_end] " /** @{ */"
            close_group = 1
        }
    }
    for (i = 1; i <= n; i++) print buf[i]
    n = 0; grouping = 0; statements = 0; has_directive = 0
}

{
    raw = $0
    was_in_comment = in_comment
    # Comments inside the bodies of inline functions stay plain.
    line = in_body ? raw : convert(raw)
    if (in_body) { if (was_in_comment) in_comment = (index(raw, "*/") == 0); else if (index(raw, "/*") && !index(raw, "*/")) in_comment = 1 }
    starts_comment = !in_body && !was_in_comment && raw ~ /^[ \t]*\/\*/
    if (starts_comment || raw ~ /^[ \t]*$/ || raw ~ /^KT_EXTERN_C_/ ||
        (grouping && !was_in_comment && raw ~ /^[ \t]*}/ && depth == base)) {
        flush(raw)
    }
    if (close_group) { line = "/** @} */ " line; close_group = 0 }
    if (starts_comment) { grouping = 1; base = depth; statements = 0; comment_end = 0 }
    if (grouping) {
        buf[++n] = line
        if (comment_end == 0 && !in_comment) comment_end = n
        if (!was_in_comment && !starts_comment) {
            if (raw ~ /^[ \t]*#[ \t]*(if|else|elif|endif)/) has_directive = 1
        }
    } else {
        print line
    }
    if (!was_in_comment) scan(raw)
}
END { flush(); if (close_group) print "/** @} */" }
