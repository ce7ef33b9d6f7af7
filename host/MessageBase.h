// The host's XML message framework: typed fields reached by numbers and
// schema identifiers, and the message types of the NAS browse.
//
// A field is stored under its class identifier and field identifier. The
// accessors also take the field number and the second index the schema gives
// the field; `isSet` finds a field by its field number, `getint64` by its
// second index, the others by both. Messages are values: copying one copies
// all its fields, nested records and lists included. Not synchronised.
#pragma once

#include <string>  // std::string
#include <vector>  // std::vector

#include "host/Platform.h"  // HOST_API

class CNMessageBase;
namespace App {
class MachineBrowseItem;
}

// A protected text (a password). The plain text is held only in memory.
class HOST_API bstring {
public:
    bstring() {}
    explicit bstring(const std::string& text) : m_text(text) {}
    const char* c_str() const { return m_text.c_str(); }
    const std::string& str() const { return m_text; }

private:
    std::string m_text;
};

class HOST_API pstring {
public:
    pstring() {}
    explicit pstring(const std::string& plain) : m_plain(plain) {}
    bstring getPlainPassword() const { return bstring(m_plain); }
    void setPlainPassword(const std::string& plain) { m_plain = plain; }

private:
    std::string m_plain;
};

class HOST_API CNMessageBase {
public:
    CNMessageBase(int kind, int schemaVersion);
    CNMessageBase(const CNMessageBase& other);
    CNMessageBase& operator=(const CNMessageBase& other);
    // Moves take the fields over; the source is left without fields.
    CNMessageBase(CNMessageBase&& other) noexcept;
    CNMessageBase& operator=(CNMessageBase&& other) noexcept;
    virtual ~CNMessageBase();

    // True when the field with this field number is stored under the class
    // and field identifier.
    bool isSet(short field, unsigned long classId, unsigned long fieldId) const;

    // Scalar and text fields. A get of an unset field yields 0 or "".
    long long getint64(short secondIndex, unsigned long classId, unsigned int fieldId) const;
    std::string getstring(short field, short secondIndex, unsigned long classId,
                          unsigned int fieldId) const;
    void setint64(short field, short secondIndex, long long value, unsigned long classId,
                  unsigned int fieldId);
    void setstring(short field, short secondIndex, const std::string& value, unsigned long classId,
                   unsigned int fieldId);

    // The address of the field's list pointer: a std::vector<App::MachineBrowseItem>*
    // owned by this message. With `create` an absent list is created empty;
    // without it an absent list yields the address of a null pointer. Returns
    // null when the field holds something that is not a list.
    void** getlistobject(short field, short secondIndex, unsigned long classId,
                         unsigned int fieldId, bool create);

    // The address of the field's nested-record pointer, owned by this message.
    // With `create` an absent record is created with (kind, schemaVersion);
    // without it an absent record yields the address of a null pointer.
    CNMessageBase** getObjectAccessor(bool create, bool reserved, short field, short secondIndex,
                                      unsigned long classId, unsigned int fieldId, int kind,
                                      int schemaVersion);

    // The field's protected text, created empty when absent; owned by this message.
    pstring* getpstringobject(short field, short secondIndex, unsigned long classId,
                              unsigned int fieldId);

    int kind() const { return m_kind; }
    int schemaVersion() const { return m_schemaVersion; }

    // One stored field, as the XML text of the host framework reads it
    // (host_framework/MessageField.h). At most one field per (class
    // identifier, field identifier), in no particular order. False when none
    // is stored under them.
    struct Field;
    bool findField(unsigned long classId, unsigned int fieldId, Field& out) const;

private:
    bool matching(short field, short secondIndex, unsigned long classId, unsigned int fieldId,
                  Field& out) const;

    int m_kind;
    int m_schemaVersion;
    // Every field in one allocation, texts inline (host_framework/
    // MessageBase.cpp); null without fields. A browse response holds a
    // million items of four fields: an item is this object and that one
    // allocation. Deep-copied by the copy operations.
    unsigned char* m_store;
};

namespace App {

// Class identifiers of the NAS browse messages.
enum : unsigned long {
    CLASS_MACHINE_BROWSE_REQ = 0x1E70954D,
    CLASS_MACHINE_BROWSE_REQ_INFO = 0x122FD3AE,  // the nested record in request field 1
    CLASS_MACHINE_BROWSE_RESP = 0x1EA21501,
    CLASS_MACHINE_BROWSE_ITEM = 0x1E9E3444,
    CLASS_GENERIC_RESP = 0x1EF2BE27,
};

// One browse result.
class HOST_API MachineBrowseItem : public CNMessageBase {
public:
    MachineBrowseItem() : CNMessageBase(30, 270) {}
};

// The nested record of a browse request (holds the VessaCell id).
class HOST_API MachineBrowseReqInfo : public CNMessageBase {
public:
    MachineBrowseReqInfo() : CNMessageBase(18, 4) {}
};

class HOST_API MachineBrowseReq : public CNMessageBase {
public:
    MachineBrowseReq() : CNMessageBase(29, 270) {}
};

class HOST_API MachineBrowseResp : public CNMessageBase {
public:
    MachineBrowseResp() : CNMessageBase(31, 270) {}
    // The response's item list, created when absent.
    std::vector<MachineBrowseItem>* getBrowseItems();
};

class HOST_API GenericResp : public CNMessageBase {
public:
    GenericResp() : CNMessageBase(1, 270) {}
};

}  // namespace App
