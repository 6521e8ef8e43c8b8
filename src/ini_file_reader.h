/*
 * INI reader: parses configuration text into sections of name = value items.
 *
 * Grammar, one construct per line (LF or CRLF ends a line; the last line may
 * lack one; a UTF-8 byte-order mark at the start of the text is skipped):
 *   - blank lines, and comment lines whose first non-blank character is '#'
 *     or ';';
 *   - "[name]": starts (or continues) the section of that name.  The name is
 *     the text between the brackets exactly as written (1 to 63 bytes); blanks
 *     around the brackets are ignored.  A section named twice is one section
 *     whose items follow in text order;
 *   - "name = value": an item; blanks around the name and the value are
 *     removed.  Items before the first section header are the global items.
 *     Repeated item names are all kept, in text order.
 * Anything else, an unterminated '[', an empty name, a name over 63 bytes, a
 * value over 255 bytes or a NUL byte inside a file is refused with EINVAL and
 * one logged message naming the line ("... line: %d ...").  Nothing is ever
 * cut silently.
 *
 * Results are 0 or a positive errno value.  A context is filled by one load
 * and released by iniFreeContext; lookups only read it, so a loaded context
 * may be read from several threads at once.  Section lookup by name is a hash
 * lookup; the item lookups scan one section's items.
 */
#ifndef KITE_INI_FILE_READER_H
#define KITE_INI_FILE_READER_H

#include <stdbool.h>

#include "common_define.h"

/* Widths of names and values, NUL included. */
#define KT_INI_ITEM_NAME_SIZE 64
#define KT_INI_ITEM_VALUE_SIZE 256
#define KT_INI_SECTION_NAME_SIZE 64

/*
 * Annotation types (third argument of the load functions).
 *   KT_INI_ANNOTATION_ENTRIES (1): a comment line of the form "#@name args" is
 * an annotation: the entry of that name among the caller's annotations is
 *     called with the current section's name ("" before any section) and the
 *     trimmed args.  An unknown name, or a non-zero result of the entry, fails
 *     the load (EINVAL, or the entry's result), naming the line.
 *   KT_INI_ANNOTATION_NONE (2): no annotations: every '#' or ';' line is a
 * plain comment.  annotations must be null and annotation_count 0. Any other
 * type is refused with EINVAL.
 */
#define KT_INI_ANNOTATION_ENTRIES 1
#define KT_INI_ANNOTATION_NONE 2

/*
 * Load flags (sixth argument), a bit set.
 *   KT_INI_FLAG_INLINE_COMMENTS (1): in an item's value, a '#' or ';' preceded
 * by a blank starts a comment that is dropped with the blanks before it.
 *   KT_INI_FLAG_VERBATIM_VALUES (2): values are kept as written.  Without it, a
 *     value wholly enclosed in double quotes loses the two quotes (so that
 *     it may keep leading or trailing blanks).
 * Other bits are refused with EINVAL.
 */
#define KT_INI_FLAG_INLINE_COMMENTS 1
#define KT_INI_FLAG_VERBATIM_VALUES 2

KT_EXTERN_C_BEGIN

/* One item; both texts NUL-terminated. */
typedef struct {
    char name[KT_INI_ITEM_NAME_SIZE];   /* the item's name */
    char value[KT_INI_ITEM_VALUE_SIZE]; /* its value */
} IniItem;

/* The items of one section, in text order. */
typedef struct {
    IniItem *items; /* count items, owned by the context */
    int count;      /* number of items */
} IniSection;

/* A section's name and its items, as listed by iniGetSectionNamesByPrefix. */
typedef struct {
    char section_name[KT_INI_SECTION_NAME_SIZE]; /* the section's name */
    IniSection *pSection; /* its items, owned by the context */
} IniSectionInfo;

/* A parsed text.  The fields are the reader's own; use the functions. */
typedef struct {
    IniSection global; /* items before the first section header */
    int section_count; /* distinct sections */
    void *impl;        /* section table and name index */
} IniContext;

struct IniAnnotationEntry;

/* Called for an annotation line "#@name args"; a non-zero result fails the
 * load with that error number. */
typedef int (*ini_annotation_func)(IniContext *context,
                                   const char *section_name, const char *args,
                                   void *arg);

/* One annotation the caller handles: its name (without "#@"), the function
 * and the function's argument. */
typedef struct IniAnnotationEntry {
    const char *name;         /* annotation name, without "#@" */
    ini_annotation_func func; /* called for each such line */
    void *arg;                /* passed to func */
} IniAnnotationEntry;

/* Reads and parses the file into *context (overwritten, not released).
 * annotations (borrowed, may be null when annotation_count is 0) and flags
 * as above.  Returns 0; ENOENT or the open/read error for the file; EINVAL
 * for bad text or arguments (logged with the line); ENOMEM.  On failure
 * nothing is held and the context needs no release. */
KT_API int iniLoadFromFileEx(const char *szFilename, IniContext *pContext,
                             const int annotation_type,
                             IniAnnotationEntry *annotations,
                             const int annotation_count, const int flags);

/* The same for NUL-terminated text in memory (the text ends at its NUL).
 * content is borrowed and not modified; the context copies what it keeps. */
KT_API int iniLoadFromBufferEx(char *content, IniContext *pContext,
                               const int annotation_type,
                               IniAnnotationEntry *annotations,
                               const int annotation_count, const int flags);

/* Releases what a successful load holds and zeroes the context; calling it
 * again, or on a zeroed context, does nothing. */
KT_API void iniFreeContext(IniContext *pContext);

/* The number of sections whose name begins with prefix (all of them for an
 * empty prefix). */
KT_API int iniGetSectionCountByPrefix(IniContext *pContext,
                                      const char *szPrefix);

/* Fills up to max_count entries of sections (caller's array) with the
 * sections whose name begins with prefix, in order of first appearance, and
 * sets *nCount to the number filled.  Returns 0, or ENOSPC when more than
 * max_count sections match (the first max_count are filled), or EINVAL for
 * a negative max_count. */
KT_API int iniGetSectionNamesByPrefix(IniContext *pContext,
                                      const char *szPrefix,
                                      IniSectionInfo *sections,
                                      const int max_count, int *nCount);

/* The items of the named section (null name: the global items) in text
 * order, owned by the context, and their number in *nCount.  Returns null
 * with *nCount 0 when the section does not exist or has no items. */
KT_API IniItem *iniGetSectionItems(const char *szSectionName,
                                   IniContext *pContext, int *nCount);

/* The value of the first item of that name in the section (null section
 * name: the global items), owned by the context; null when there is none.
 * With bRetryGlobal an item missing from the section is looked up among the
 * global items. */
KT_API char *iniGetStrValueEx(const char *szSectionName, const char *szItemName,
                              IniContext *pContext, const bool bRetryGlobal);

/* The same item's value as a base-10 int.  Returns nDefaultValue when the
 * item is missing, or when its value is not a whole number within the range
 * of int (that case is logged as a warning). */
KT_API int iniGetIntValueEx(const char *szSectionName, const char *szItemName,
                            IniContext *pContext, const int nDefaultValue,
                            const bool bRetryGlobal);

KT_EXTERN_C_END

#endif
