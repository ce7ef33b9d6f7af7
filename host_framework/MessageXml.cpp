// XML text of the NAS browse messages: written directly, read through pugixml.

#include "host_framework/MessageXml.h"

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

#include "host/BrowseMessageFields.h"
#include "host_framework/MessageField.h"

namespace MessageXml {

namespace {

// ---------------------------------------------------------------------------
// Schemas: which field goes to which attribute or child element.

enum class Kind { Int64, Text, Password };

struct Attr {
    const char* name;
    App::FieldKey key;
    Kind kind;
};

struct Schema;

struct Child {
    const char* element;
    App::FieldKey key;
    bool isList;        // a list of App::MachineBrowseItem, else one nested record
    int kind;           // of the nested record
    int schemaVersion;  // of the nested record
    const Schema* schema;
};

struct Schema {
    const char* element;
    unsigned long classId;
    std::vector<Attr> attrs;
    std::vector<Child> children;
};

const Schema ITEM = {"item",
                     App::CLASS_MACHINE_BROWSE_ITEM,
                     {{"folder", App::ITEM_FOLDER, Kind::Int64},
                      {"name", App::ITEM_NAME, Kind::Text},
                      {"mtime", App::ITEM_MODIFY_TIME, Kind::Int64},
                      {"size", App::ITEM_SIZE, Kind::Int64}},
                     {}};

const Schema REQ_INFO = {"info",
                         App::CLASS_MACHINE_BROWSE_REQ_INFO,
                         {{"vessaCellId", App::REQ_INFO_VESSACELL_ID, Kind::Int64}},
                         {}};

const Schema REQ = {
    "MachineBrowseReq",
    App::CLASS_MACHINE_BROWSE_REQ,
    {{"clientId", App::REQ_CLIENT_ID, Kind::Int64},
     {"path", App::REQ_PATH, Kind::Text},
     {"interfaceName", App::REQ_INTERFACE_NAME, Kind::Text},
     {"userName", App::REQ_USER_NAME, Kind::Text},
     {"password", App::REQ_PASSWORD, Kind::Password},
     {"credentialId", App::REQ_CREDENTIAL_ID, Kind::Int64},
     {"subclientId", App::REQ_SUBCLIENT_ID, Kind::Int64}},
    {{"info", App::REQ_INFO, false, App::REQ_INFO_KIND, App::REQ_INFO_SCHEMA, &REQ_INFO}}};

const Schema RESP = {"MachineBrowseResp",
                     App::CLASS_MACHINE_BROWSE_RESP,
                     {{"path", App::RESP_PATH, Kind::Text}},
                     {{"item", App::RESP_ITEMS, true, 0, 0, &ITEM}}};

const Schema GENERIC = {"GenericResp",
                        App::CLASS_GENERIC_RESP,
                        {{"errorCode", App::GENERIC_ERROR_CODE, Kind::Int64},
                         {"message", App::GENERIC_MESSAGE, Kind::Text}},
                        {}};

// The stored field under `key` when its numbers match, else null.
typedef std::optional<CNMessageBase::Field> FieldView;

FieldView Lookup(const CNMessageBase& message, unsigned long classId, const App::FieldKey& key) {
    FieldView f = FindField(message, classId, key.id);
    return f && f->field == key.field && f->secondIndex == key.secondIndex ? f : std::nullopt;
}

// ---------------------------------------------------------------------------
// Writing

// The text is written straight into one string, in the layout pugixml's
// save() gives (declaration, two-space indent, " />" for an empty element,
// &amp; &lt; &quot; in attribute values): building a DOM of a response of
// 100,000 items first cost more time and memory than the items themselves.

// Appends `value` (already through EscapeText: no control bytes) as an
// attribute value.
void AppendAttributeValue(std::string& out, std::string_view value) {
    size_t from = 0;
    for (size_t i = 0; i < value.size(); ++i) {
        const char* entity;
        switch (value[i]) {
        case '&': entity = "&amp;"; break;
        case '<': entity = "&lt;"; break;
        case '"': entity = "&quot;"; break;
        default: continue;
        }
        out.append(value, from, i - from);
        out += entity;
        from = i + 1;
    }
    out.append(value.substr(from));
}

// True when EscapeText would give `text` back unchanged: printable ASCII
// without a backslash (most names), checked without making a copy.
bool IsPlainText(std::string_view text) {
    for (const char c : text)
        if (c < 0x20 || c >= 0x7F || c == '\\') return false;
    return true;
}

void AppendAttribute(std::string& out, const char* name, std::string_view escaped) {
    out += ' ';
    out += name;
    out += "=\"";
    AppendAttributeValue(out, escaped);
    out += '"';
}

// True when the child field produces at least one element.
bool HasElement(const FieldView& f, const Child& child) {
    if (!f) return false;
    if (child.isList)
        return f->type() == CNMessageBase::Field::LIST && f->items() != nullptr &&
               !f->items()->empty();
    return f->type() == CNMessageBase::Field::RECORD && f->nested() != nullptr;
}

void WriteRecord(std::string& out, const char* element, const CNMessageBase& message,
                 const Schema& schema, size_t depth) {
    out.append(2 * depth, ' ');
    out += '<';
    out += element;
    for (const Attr& attr : schema.attrs) {
        const FieldView f = Lookup(message, schema.classId, attr.key);
        if (!f) continue;
        if (attr.kind == Kind::Int64 && f->type() == CNMessageBase::Field::INT64) {
            char digits[24];
            const auto done = std::to_chars(digits, digits + sizeof digits, f->integer);
            out += ' ';
            out += attr.name;
            out += "=\"";
            out.append(digits, done.ptr);
            out += '"';
        } else if (attr.kind == Kind::Text && f->type() == CNMessageBase::Field::STRING) {
            const std::string_view text = f->text();
            if (IsPlainText(text))
                AppendAttribute(out, attr.name, text);  // EscapeText keeps it
            else
                AppendAttribute(out, attr.name, EscapeText(std::string(text)));
        } else if (attr.kind == Kind::Password && f->type() == CNMessageBase::Field::PSTRING) {
            AppendAttribute(out, attr.name, EscapeText(f->password->getPlainPassword().str()));
        }
    }
    bool hasChildren = false;
    for (const Child& child : schema.children)
        hasChildren = hasChildren || HasElement(Lookup(message, schema.classId, child.key), child);
    if (!hasChildren) {
        out += " />\n";
        return;
    }
    out += ">\n";
    for (const Child& child : schema.children) {
        const FieldView f = Lookup(message, schema.classId, child.key);
        if (!HasElement(f, child)) continue;
        if (child.isList) {
            for (const App::MachineBrowseItem& item : *f->items())
                WriteRecord(out, child.element, item, *child.schema, depth + 1);
        } else {
            WriteRecord(out, child.element, *f->nested(), *child.schema, depth + 1);
        }
    }
    out.append(2 * depth, ' ');
    out += "</";
    out += element;
    out += ">\n";
}

std::string WriteDocument(const CNMessageBase& message, const Schema& schema) {
    std::string out;
    FieldView list;
    for (const Child& child : schema.children)
        if (child.isList && HasElement(list = Lookup(message, schema.classId, child.key), child))
            break;
    // About 80 bytes an item: one allocation instead of a series of doublings.
    if (list && list->type() == CNMessageBase::Field::LIST && list->items() != nullptr)
        out.reserve(256 + 80 * list->items()->size());
    out += "<?xml version=\"1.0\"?>\n";
    WriteRecord(out, schema.element, message, schema, 0);
    return out;
}

// ---------------------------------------------------------------------------
// Reading

// A decimal integer from INT64_MIN to UINT64_MAX; values above INT64_MAX are
// kept bit for bit.
bool ParseInt64(const char* text, long long& value) {
    if (text[0] == '\0') return false;
    const bool negative = text[0] == '-';
    const char* digits = negative ? text + 1 : text;
    if (digits[0] < '0' || digits[0] > '9') return false;
    char* end = nullptr;
    errno = 0;
    if (negative) {
        value = strtoll(text, &end, 10);
    } else {
        value = static_cast<long long>(strtoull(digits, &end, 10));
    }
    return errno == 0 && *end == '\0';
}

std::string Where(const char* attr, const pugi::xml_node& node) {
    return "attribute " + std::string(attr) + " of <" + node.name() + "> at offset " +
           std::to_string(node.offset_debug());
}

bool ReadRecord(const pugi::xml_node& node, CNMessageBase& message, const Schema& schema,
                std::string& error) {
    for (const Attr& attr : schema.attrs) {
        const pugi::xml_attribute a = node.attribute(attr.name);
        if (!a) continue;
        const App::FieldKey& k = attr.key;
        if (attr.kind == Kind::Int64) {
            long long value = 0;
            if (!ParseInt64(a.value(), value)) {
                error = "bad number \"" + EscapeText(a.value()) + "\" in " + Where(attr.name, node);
                return false;
            }
            message.setint64(k.field, k.secondIndex, value, schema.classId, k.id);
            continue;
        }
        std::string bytes, why;
        if (!UnescapeText(a.value(), bytes, why)) {
            error = why + " in " + Where(attr.name, node);
            return false;
        }
        if (attr.kind == Kind::Text)
            message.setstring(k.field, k.secondIndex, bytes, schema.classId, k.id);
        else
            message.getpstringobject(k.field, k.secondIndex, schema.classId, k.id)
                ->setPlainPassword(bytes);
    }
    for (const Child& child : schema.children) {
        const App::FieldKey& k = child.key;
        if (child.isList) {
            std::vector<App::MachineBrowseItem>* list = nullptr;
            for (const pugi::xml_node& element : node.children(child.element)) {
                if (list == nullptr) {
                    void** slot =
                        message.getlistobject(k.field, k.secondIndex, schema.classId, k.id, true);
                    list = static_cast<std::vector<App::MachineBrowseItem>*>(*slot);
                }
                App::MachineBrowseItem item;
                if (!ReadRecord(element, item, *child.schema, error)) return false;
                list->push_back(std::move(item));
            }
        } else if (const pugi::xml_node element = node.child(child.element)) {
            CNMessageBase** record =
                message.getObjectAccessor(true, false, k.field, k.secondIndex, schema.classId, k.id,
                                          child.kind, child.schemaVersion);
            if (!ReadRecord(element, **record, *child.schema, error)) return false;
        }
    }
    return true;
}

template <class Message>
bool ReadDocument(const std::string& xml, Message& out, const Schema& schema, std::string& error) {
    pugi::xml_document doc;
    const pugi::xml_parse_result parsed =
        doc.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!parsed) {
        error = "malformed XML at offset " + std::to_string(parsed.offset) + ": " +
                parsed.description();
        return false;
    }
    const pugi::xml_node root = doc.document_element();
    if (std::string(root.name()) != schema.element) {
        error = std::string("expected a <") + schema.element + "> element, found " +
                (root ? "<" + std::string(root.name()) + ">" : std::string("no element"));
        return false;
    }
    Message message;
    if (!ReadRecord(root, message, schema, error)) return false;
    out = message;
    return true;
}

// Length of the valid UTF-8 sequence at `p` (at most `left` bytes) that
// encodes a character XML 1.0 allows, or 0.
size_t XmlCharLength(const unsigned char* p, size_t left) {
    const unsigned char lead = p[0];
    size_t length;
    uint32_t cp;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07;
    } else {
        return 0;
    }
    if (left < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    static const uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < minimum[length] || cp > 0x10FFFF) return 0;  // overlong or too large
    if (cp >= 0xD800 && cp <= 0xDFFF) return 0;           // surrogate
    if (cp == 0xFFFE || cp == 0xFFFF) return 0;           // not an XML character
    return length;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string EscapeText(const std::string& bytes) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        if (c == '\\') {
            out += "\\\\";
            ++i;
            continue;
        }
        const size_t length =
            c < 0x80 ? (c >= 0x20 && c != 0x7F ? 1 : 0) : XmlCharLength(p + i, n - i);
        if (length == 0) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0xF];
            ++i;
        } else {
            out.append(bytes, i, length);
            i += length;
        }
    }
    return out;
}

bool UnescapeText(const std::string& text, std::string& bytes, std::string& error) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\\') {
            out += '\\';
            ++i;
            continue;
        }
        if (i + 3 < text.size() && text[i + 1] == 'x' && HexValue(text[i + 2]) >= 0 &&
            HexValue(text[i + 3]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 2]) * 16 + HexValue(text[i + 3]));
            i += 3;
            continue;
        }
        error = "bad escape at character " + std::to_string(i) +
                " (a backslash must start \\\\ or \\xNN)";
        return false;
    }
    bytes.swap(out);
    return true;
}

std::string WriteMachineBrowseReq(const App::MachineBrowseReq& message) {
    return WriteDocument(message, REQ);
}
std::string WriteMachineBrowseResp(const App::MachineBrowseResp& message) {
    return WriteDocument(message, RESP);
}
std::string WriteGenericResp(const App::GenericResp& message) {
    return WriteDocument(message, GENERIC);
}

bool ReadMachineBrowseReq(const std::string& xml, App::MachineBrowseReq& out, std::string& error) {
    return ReadDocument(xml, out, REQ, error);
}
bool ReadMachineBrowseResp(const std::string& xml, App::MachineBrowseResp& out,
                           std::string& error) {
    return ReadDocument(xml, out, RESP, error);
}
bool ReadGenericResp(const std::string& xml, App::GenericResp& out, std::string& error) {
    return ReadDocument(xml, out, GENERIC, error);
}

}  // namespace MessageXml
