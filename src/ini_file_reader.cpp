/*
 * INI reader.
 *
 * One pass over the text appends every item, in text order, to one growable
 * IniItem array and notes which section it belongs to.  Sections live in a
 * second growable array (in order of first appearance) and are found by name
 * through an open-addressing hash table of section indexes (linear probing,
 * power-of-two size, at most half full), so a text of many thousand sections
 * parses and answers lookups in constant time per section.
 *
 * Invariant after a load: a section whose items stood together in the text
 * points straight into the shared item array; a section whose header was
 * repeated with other sections' items in between gets its own array, copied
 * in text order, which it owns (owns_items).  The global items are always
 * the first items of the text.  Pointers are only fixed up at the end of the
 * parse, since the arrays move while they grow.
 *
 * No locks: a context is filled by one thread and only read afterwards.
 */
#include "ini_file_reader.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "kt_alloc_util.h"
#include "kt_memory.h"
#include "logger.h"
#include "shared_func.h"

namespace {

struct SectionRec {
    char name[KT_INI_SECTION_NAME_SIZE];
    int name_len;
    int first_item; /* index of the first item in the shared array, -1 none */
    int last_item;  /* index of the last item added */
    bool scattered; /* items not contiguous in the shared array */
    bool owns_items;
    IniSection section;
};

struct IniImpl {
    kite::growable_array<IniItem> items;
    kite::growable_array<int>
        item_section; /* section of each item, -1 global */
    kite::growable_array<SectionRec> sections;
    kite::unique_ptr<int> buckets; /* section indexes, -1 empty */
    unsigned bucket_mask = 0;
};

/* What one load needs besides the context. */
struct Parser {
    IniImpl *impl;
    IniContext *context;
    const char *caption;
    int annotation_type;
    IniAnnotationEntry *annotations;
    int annotation_count;
    int flags;
    int line_no;
    int current; /* current section index, -1 before the first header */
    const char *first_nul; /* first NUL inside the text, or null */
};

inline bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' ||
           c == '\n';
}

unsigned hash_name(const char *name, int len)
{
    unsigned h = 2166136261u;
    for (int i = 0; i < len; i++) {
        h = (h ^ (unsigned char)name[i]) * 16777619u;
    }
    return h;
}

void trim_span(const char **start, const char **end)
{
    while (*start < *end && is_blank(**start)) {
        (*start)++;
    }
    while (*end > *start && is_blank(*(*end - 1))) {
        (*end)--;
    }
}

int find_section(const IniImpl *impl, const char *name, int len)
{
    if (impl == nullptr || impl->buckets == nullptr) {
        return -1;
    }
    const int *buckets = impl->buckets.get();
    unsigned pos = hash_name(name, len) & impl->bucket_mask;
    while (buckets[pos] >= 0) {
        const SectionRec &s = impl->sections[buckets[pos]];
        if (s.name_len == len && memcmp(s.name, name, len) == 0) {
            return buckets[pos];
        }
        pos = (pos + 1) & impl->bucket_mask;
    }
    return -1;
}

int rehash(IniImpl *impl, unsigned size)
{
    kite::unique_ptr<int> owner((int *)kt_malloc(sizeof(int) * size));
    int *buckets = owner.get();
    if (buckets == nullptr) {
        return ENOMEM;
    }
    memset(buckets, 0xff, sizeof(int) * size);
    for (int i = 0; i < impl->sections.size(); i++) {
        const SectionRec &s = impl->sections[i];
        unsigned pos = hash_name(s.name, s.name_len) & (size - 1);
        while (buckets[pos] >= 0) {
            pos = (pos + 1) & (size - 1);
        }
        buckets[pos] = i;
    }
    impl->buckets = std::move(owner);
    impl->bucket_mask = size - 1;
    return 0;
}

/* Makes the named section current, adding it when it is new. */
int enter_section(Parser *p, const char *name, int len)
{
    IniImpl *impl = p->impl;
    int index = find_section(impl, name, len);
    if (index >= 0) {
        p->current = index;
        return 0;
    }
    const int index_new = impl->sections.size();
    unsigned size = impl->bucket_mask + 1;
    if (impl->buckets == nullptr || (unsigned)(index_new + 1) * 2 > size) {
        int result = rehash(impl, impl->buckets == nullptr ? 64 : size * 2);
        if (result != 0) {
            return result;
        }
    }
    SectionRec rec;
    memset(&rec, 0, sizeof(rec));
    memcpy(rec.name, name, len);
    rec.name_len = len;
    rec.first_item = rec.last_item = -1;
    if (!impl->sections.push_back(rec)) {
        return ENOMEM;
    }
    int *buckets = impl->buckets.get();
    unsigned pos = hash_name(name, len) & impl->bucket_mask;
    while (buckets[pos] >= 0) {
        pos = (pos + 1) & impl->bucket_mask;
    }
    buckets[pos] = index_new;
    p->current = index_new;
    return 0;
}

int add_item(Parser *p, const char *name, int name_len, const char *value,
             int value_len)
{
    IniImpl *impl = p->impl;
    // Both arrays grow together: the item and the section it belongs to.
    const int index = impl->items.size();
    if (!impl->items.reserve(index + 1) ||
        !impl->item_section.push_back(p->current)) {
        return ENOMEM;
    }
    IniItem item;
    memcpy(item.name, name, name_len);
    item.name[name_len] = '\0';
    memcpy(item.value, value, value_len);
    item.value[value_len] = '\0';
    impl->items.push_back(item);  // room reserved above
    if (p->current >= 0) {
        SectionRec *s = &impl->sections[p->current];
        if (s->first_item < 0) {
            s->first_item = index;
        } else if (s->last_item != index - 1) {
            s->scattered = true;
        }
        s->last_item = index;
        s->section.count++;
    } else {
        p->context->global.count++;
    }
    return 0;
}

int line_error(const Parser *p, const char *what, const char *text, int len)
{
    logError("config file: %s, line: %d, %s: %.*s", p->caption, p->line_no,
             what, std::min(len, 80), text);
    return EINVAL;
}

int parse_section_line(Parser *p, const char *start, const char *end)
{
    int len = (int)(end - start);
    if (len < 2 || *(end - 1) != ']') {
        return line_error(p, "unterminated section header", start, len);
    }
    const char *name = start + 1;
    int name_len = len - 2;
    if (name_len == 0) {
        return line_error(p, "empty section name", start, len);
    }
    if (memchr(name, ']', name_len) != nullptr ||
        memchr(name, '[', name_len) != nullptr) {
        return line_error(p, "invalid section header", start, len);
    }
    if (name_len >= KT_INI_SECTION_NAME_SIZE) {
        logError("config file: %s, line: %d, section name length: %d exceeds "
                 "%d",
                 p->caption, p->line_no, name_len,
                 KT_INI_SECTION_NAME_SIZE - 1);
        return EINVAL;
    }
    return enter_section(p, name, name_len);
}

/* Drops an inline comment (a '#' or ';' after a blank) from the value. */
void cut_inline_comment(const char *value, const char **end)
{
    for (const char *c = value + 1; c < *end; c++) {
        if ((*c == '#' || *c == ';') && is_blank(*(c - 1))) {
            *end = c;
            trim_span(&value, end);
            return;
        }
    }
}

int parse_item_line(Parser *p, const char *start, const char *end)
{
    const char *eq = (const char *)memchr(start, '=', end - start);
    if (eq == nullptr) {
        return line_error(p, "neither a section, an item nor a comment", start,
                          (int)(end - start));
    }
    const char *name = start, *name_end = eq;
    const char *value = eq + 1, *value_end = end;
    trim_span(&name, &name_end);
    trim_span(&value, &value_end);
    int name_len = (int)(name_end - name);
    if (name_len == 0) {
        return line_error(p, "empty item name", start, (int)(end - start));
    }
    if (name_len >= KT_INI_ITEM_NAME_SIZE) {
        logError("config file: %s, line: %d, item name length: %d exceeds %d",
                 p->caption, p->line_no, name_len, KT_INI_ITEM_NAME_SIZE - 1);
        return EINVAL;
    }
    if ((p->flags & KT_INI_FLAG_INLINE_COMMENTS) && value < value_end) {
        cut_inline_comment(value, &value_end);
    }
    if (!(p->flags & KT_INI_FLAG_VERBATIM_VALUES) && value_end - value >= 2 &&
        *value == '"' && *(value_end - 1) == '"') {
        value++;
        value_end--;
    }
    int value_len = (int)(value_end - value);
    if (value_len >= KT_INI_ITEM_VALUE_SIZE) {
        logError("config file: %s, line: %d, item: %.*s, value length: %d "
                 "exceeds %d",
                 p->caption, p->line_no, name_len, name, value_len,
                 KT_INI_ITEM_VALUE_SIZE - 1);
        return EINVAL;
    }
    return add_item(p, name, name_len, value, value_len);
}

int parse_annotation(Parser *p, const char *start, const char *end)
{
    const char *name = start + 2, *name_end = name;
    while (name_end < end && !is_blank(*name_end)) {
        name_end++;
    }
    const char *args = name_end, *args_end = end;
    trim_span(&args, &args_end);
    int name_len = (int)(name_end - name);
    for (int i = 0; i < p->annotation_count; i++) {
        const IniAnnotationEntry &e = p->annotations[i];
        if (e.name == nullptr || (int)strlen(e.name) != name_len ||
            memcmp(e.name, name, name_len) != 0) {
            continue;
        }
        char args_buff[KT_INI_ITEM_VALUE_SIZE];
        int args_len =
            std::min((int)(args_end - args), KT_INI_ITEM_VALUE_SIZE - 1);
        if (args_len < (int)(args_end - args)) {
            return line_error(p, "annotation arguments too long", start,
                              (int)(end - start));
        }
        memcpy(args_buff, args, args_len);
        args_buff[args_len] = '\0';
        const char *section =
            p->current >= 0 ? p->impl->sections[p->current].name : "";
        int result = e.func(p->context, section, args_buff, e.arg);
        if (result != 0) {
            logError("config file: %s, line: %d, annotation: %s fail, errno: "
                     "%d, error info: %s",
                     p->caption, p->line_no, e.name, result,
                     KT_STRERROR(result));
        }
        return result;
    }
    return line_error(p, "unknown annotation", start, (int)(end - start));
}

int parse_line(Parser *p, const char *start, const char *end)
{
    trim_span(&start, &end);
    if (start == end) {
        return 0;
    }
    if (*start == '#' || *start == ';') {
        if (p->annotation_type == KT_INI_ANNOTATION_ENTRIES && *start == '#' &&
            end - start > 2 && start[1] == '@') {
            return parse_annotation(p, start, end);
        }
        return 0;
    }
    if (*start == '[') {
        return parse_section_line(p, start, end);
    }
    return parse_item_line(p, start, end);
}

int parse_text(Parser *p, const char *text, size_t length)
{
    const char *pos = text, *end = text + length;
    p->line_no = 0;
    while (pos < end) {
        p->line_no++;
        const char *nl = (const char *)memchr(pos, '\n', end - pos);
        const char *line_end = nl != nullptr ? nl : end;
        if (p->first_nul != nullptr && p->first_nul >= pos &&
            p->first_nul < line_end) {
            logError("config file: %s, line: %d, NUL byte in the text",
                     p->caption, p->line_no);
            return EINVAL;
        }
        int result = parse_line(p, pos, line_end);
        if (result != 0) {
            return result;
        }
        pos = nl != nullptr ? nl + 1 : end;
    }
    return 0;
}

/* Gives a scattered section its own array, copied in text order. */
int gather_section(IniImpl *impl, int index)
{
    SectionRec *s = &impl->sections[index];
    IniItem *items = (IniItem *)kt_malloc(sizeof(IniItem) * s->section.count);
    if (items == nullptr) {
        return ENOMEM;
    }
    int n = 0;
    for (int i = s->first_item; i <= s->last_item; i++) {
        if (impl->item_section[i] == index) {
            items[n++] = impl->items[i];
        }
    }
    s->section.items = items;
    s->owns_items = true;
    return 0;
}

int finish(IniContext *context)
{
    IniImpl *impl = (IniImpl *)context->impl;
    context->global.items =
        context->global.count > 0 ? impl->items.data() : nullptr;
    for (int i = 0; i < impl->sections.size(); i++) {
        SectionRec *s = &impl->sections[i];
        if (s->section.count == 0) {
            s->section.items = nullptr;
        } else if (!s->scattered) {
            s->section.items = impl->items.data() + s->first_item;
        } else {
            int result = gather_section(impl, i);
            if (result != 0) {
                return result;
            }
        }
    }
    context->section_count = impl->sections.size();
    kt_free(impl->item_section.release());  // needed only while parsing
    return 0;
}

int check_options(int annotation_type, IniAnnotationEntry *annotations,
                  int annotation_count, int flags)
{
    if (flags & ~(KT_INI_FLAG_INLINE_COMMENTS | KT_INI_FLAG_VERBATIM_VALUES)) {
        logError("invalid ini flags: %d", flags);
        return EINVAL;
    }
    if (annotation_type == KT_INI_ANNOTATION_NONE) {
        if (annotations != nullptr || annotation_count != 0) {
            logError("annotation type: %d takes no annotation entries",
                     annotation_type);
            return EINVAL;
        }
        return 0;
    }
    if (annotation_type != KT_INI_ANNOTATION_ENTRIES || annotation_count < 0 ||
        (annotation_count > 0 && annotations == nullptr)) {
        logError("invalid annotation type: %d or annotation count: %d",
                 annotation_type, annotation_count);
        return EINVAL;
    }
    for (int i = 0; i < annotation_count; i++) {
        if (annotations[i].name == nullptr || annotations[i].func == nullptr) {
            logError("annotation entry: %d without name or function", i);
            return EINVAL;
        }
    }
    return 0;
}

/* Counts '=' and '[' in one pass (a loop the compiler vectorizes). */
void count_marks(const char *text, size_t length, size_t *equals,
                 size_t *brackets)
{
    size_t eq = 0, br = 0;
    for (size_t i = 0; i < length; i++) {
        eq += text[i] == '=';
        br += text[i] == '[';
    }
    *equals = eq;
    *brackets = br;
}

/* Sizes the arrays once from upper bounds taken from the text (every item
 * line holds a '=', every section line a '['), so that a large text is not
 * copied again and again while it grows. */
int presize(IniImpl *impl, const char *text, size_t length)
{
    size_t items, sections;
    count_marks(text, length, &items, &sections);
    if (items > (size_t)INT_MAX / 2 || sections > (size_t)INT_MAX / 4) {
        return ENOMEM;
    }
    // The arrays stop at INT32_MAX bytes; an estimate past that is only
    // an upper bound, so presize to the limit and let parsing decide.
    items = std::min(items, (size_t)INT32_MAX / sizeof(IniItem));
    sections = std::min(sections, (size_t)INT32_MAX / sizeof(SectionRec));
    if (items > 0 && (!impl->items.reserve((int)items) ||
                      !impl->item_section.reserve((int)items))) {
        return ENOMEM;
    }
    if (sections > 0) {
        if (!impl->sections.reserve((int)sections)) {
            return ENOMEM;
        }
        unsigned size = 64;
        while (size < sections * 2) {
            size *= 2;
        }
        return rehash(impl, size);
    }
    return 0;
}

int load_text(const char *text, size_t length, const char *caption,
              IniContext *context, int annotation_type,
              IniAnnotationEntry *annotations, int annotation_count, int flags)
{
    memset(context, 0, sizeof(*context));
    int result =
        check_options(annotation_type, annotations, annotation_count, flags);
    if (result != 0) {
        return result;
    }
    void *memory = kt_malloc(sizeof(IniImpl));
    if (memory == nullptr) {
        return ENOMEM;
    }
    IniImpl *impl = new (memory) IniImpl;
    context->impl = impl;
    // Editors on some systems start UTF-8 text with a byte-order mark; it is
    // no part of the first line, and kept it would make the first section
    // header an unknown construct whose message shows an invisible text.
    if (length >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
        text += 3;
        length -= 3;
    }
    Parser p = {impl,        context,
                caption,     annotation_type,
                annotations, annotation_count,
                flags,       0,
                -1,          (const char *)memchr(text, '\0', length)};
    result = presize(impl, text, length);
    if (result == 0) {
        result = parse_text(&p, text, length);
    }
    if (result == 0) {
        result = finish(context);
    }
    if (result != 0) {
        iniFreeContext(context);
    }
    return result;
}

const IniSection *get_section(const char *name, IniContext *context)
{
    if (context == nullptr) {
        return nullptr;
    }
    if (name == nullptr) {
        return &context->global;
    }
    int index =
        find_section((const IniImpl *)context->impl, name, (int)strlen(name));
    if (index < 0) {
        return nullptr;
    }
    return &((IniImpl *)context->impl)->sections[index].section;
}

char *find_value(const IniSection *section, const char *item_name)
{
    if (section == nullptr) {
        return nullptr;
    }
    for (int i = 0; i < section->count; i++) {
        if (strcmp(section->items[i].name, item_name) == 0) {
            return section->items[i].value;
        }
    }
    return nullptr;
}

}  // namespace

extern "C" {

int iniLoadFromFileEx(const char *szFilename, IniContext *pContext,
                      const int annotation_type,
                      IniAnnotationEntry *annotations,
                      const int annotation_count, const int flags)
{
    memset(pContext, 0, sizeof(*pContext));
    if (szFilename == nullptr) {
        logError("config filename is null");
        return EINVAL;
    }
    char *content = nullptr;
    int64_t size = 0;
    int result = kt_get_file_content(szFilename, &content, &size);
    if (result != 0) {
        return result;
    }
    result = load_text(content, (size_t)size, szFilename, pContext,
                       annotation_type, annotations, annotation_count, flags);
    kt_free(content);
    return result;
}

int iniLoadFromBufferEx(char *content, IniContext *pContext,
                        const int annotation_type,
                        IniAnnotationEntry *annotations,
                        const int annotation_count, const int flags)
{
    memset(pContext, 0, sizeof(*pContext));
    if (content == nullptr) {
        logError("ini content is null");
        return EINVAL;
    }
    return load_text(content, strlen(content), "(buffer)", pContext,
                     annotation_type, annotations, annotation_count, flags);
}

void iniFreeContext(IniContext *pContext)
{
    if (pContext == nullptr) {
        return;
    }
    IniImpl *impl = (IniImpl *)pContext->impl;
    if (impl != nullptr) {
        for (const SectionRec &s : impl->sections) {
            if (s.owns_items) {
                kt_free(s.section.items);
            }
        }
        impl->~IniImpl();  // the arrays free themselves
        kt_free(impl);
    }
    memset(pContext, 0, sizeof(*pContext));
}

int iniGetSectionCountByPrefix(IniContext *pContext, const char *szPrefix)
{
    const IniImpl *impl =
        pContext != nullptr ? (const IniImpl *)pContext->impl : nullptr;
    if (impl == nullptr) {
        return 0;
    }
    size_t len = szPrefix != nullptr ? strlen(szPrefix) : 0;
    int count = 0;
    for (int i = 0; i < impl->sections.size(); i++) {
        if (strncmp(impl->sections[i].name, szPrefix ? szPrefix : "", len) ==
            0) {
            count++;
        }
    }
    return count;
}

int iniGetSectionNamesByPrefix(IniContext *pContext, const char *szPrefix,
                               IniSectionInfo *sections, const int max_count,
                               int *nCount)
{
    *nCount = 0;
    if (max_count < 0 || (max_count > 0 && sections == nullptr)) {
        return EINVAL;
    }
    IniImpl *impl = pContext != nullptr ? (IniImpl *)pContext->impl : nullptr;
    if (impl == nullptr) {
        return 0;
    }
    size_t len = szPrefix != nullptr ? strlen(szPrefix) : 0;
    for (int i = 0; i < impl->sections.size(); i++) {
        SectionRec *s = &impl->sections[i];
        if (strncmp(s->name, szPrefix ? szPrefix : "", len) != 0) {
            continue;
        }
        if (*nCount == max_count) {
            return ENOSPC;
        }
        IniSectionInfo *info = &sections[(*nCount)++];
        memcpy(info->section_name, s->name, s->name_len + 1);
        info->pSection = &s->section;
    }
    return 0;
}

IniItem *iniGetSectionItems(const char *szSectionName, IniContext *pContext,
                            int *nCount)
{
    const IniSection *section = get_section(szSectionName, pContext);
    if (section == nullptr || section->count == 0) {
        *nCount = 0;
        return nullptr;
    }
    *nCount = section->count;
    return section->items;
}

char *iniGetStrValueEx(const char *szSectionName, const char *szItemName,
                       IniContext *pContext, const bool bRetryGlobal)
{
    if (szItemName == nullptr || pContext == nullptr) {
        return nullptr;
    }
    char *value = find_value(get_section(szSectionName, pContext), szItemName);
    if (value == nullptr && bRetryGlobal && szSectionName != nullptr) {
        value = find_value(&pContext->global, szItemName);
    }
    return value;
}

int iniGetIntValueEx(const char *szSectionName, const char *szItemName,
                     IniContext *pContext, const int nDefaultValue,
                     const bool bRetryGlobal)
{
    const char *value =
        iniGetStrValueEx(szSectionName, szItemName, pContext, bRetryGlobal);
    if (value == nullptr) {
        return nDefaultValue;
    }
    char *end = nullptr;
    errno = 0;
    long n = strtol(value, &end, 10);
    if (end == value || *end != '\0' || errno == ERANGE || n < INT_MIN ||
        n > INT_MAX) {
        logWarning("section: %s, item: %s, invalid integer: %s, use default: "
                   "%d",
                   szSectionName != nullptr ? szSectionName : "", szItemName,
                   value, nDefaultValue);
        return nDefaultValue;
    }
    return (int)n;
}

}  // extern "C"
