// One stored field of a CNMessageBase (inside the host framework only).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/MessageBase.h"

// 32 bytes: a browse item holds four of these in one allocation, plus the
// bytes of its name. An integer lives in the field itself; a text is an owned
// array of exactly its bytes. A list, a nested record and a protected text are
// each held in their own allocation, whose address the accessors hand out:
// it stays put when the message gains fields or is moved.
struct CNMessageBase::Field {
    enum Type : unsigned char { INT64, STRING, LIST, RECORD, PSTRING };

    // An INT64 field of value 0.
    Field(unsigned long cls, unsigned int id, short fieldNumber, short second) noexcept
        : classId(cls),
          fieldId(id),
          field(fieldNumber),
          secondIndex(second),
          m_type(INT64),
          m_length(0),
          integer(0) {}
    Field(const Field& other);  // deep
    Field(Field&& other) noexcept;
    Field& operator=(const Field&) = delete;
    ~Field() { release(); }

    Type type() const { return static_cast<Type>(m_type); }
    // STRING: the bytes; empty for other types.
    std::string_view text() const {
        return m_type == STRING ? std::string_view(chars, m_length) : std::string_view();
    }
    // LIST: the list (null when the holder of the address cleared it).
    std::vector<App::MachineBrowseItem>* items() const {
        return static_cast<std::vector<App::MachineBrowseItem>*>(*list);
    }
    // RECORD: the record, or null.
    CNMessageBase* nested() const { return *record; }

    // Make the field hold another value with these numbers; the one held so
    // far is freed.
    void reset(short fieldNumber, short second) noexcept;
    void setInteger(long long value) noexcept;
    void setText(const std::string& value);  // strong guarantee
    void makeList();                         // an empty list
    void makeRecord(int kind, int schemaVersion);
    void makePassword();  // an empty protected text

    unsigned long classId;
    unsigned int fieldId;
    short field;
    short secondIndex;

private:
    void release() noexcept;
    void take(Field& other) noexcept;

    std::uint64_t m_type : 8;     // a Type
    std::uint64_t m_length : 56;  // STRING: bytes at `chars`

public:
    union {
        long long integer;  // INT64
        char* chars;        // STRING: owned, null when empty
        void** list;        // LIST: owned cell with an owned std::vector<App::MachineBrowseItem>*
        CNMessageBase** record;  // RECORD: owned cell with an owned record or null
        pstring* password;       // PSTRING: owned
    };
};

// The field stored under (classId, fieldId), or null.
inline const CNMessageBase::Field* FindField(const CNMessageBase::FieldList& fields,
                                             unsigned long classId, unsigned int fieldId) {
    for (const CNMessageBase::Field& f : fields)
        if (f.fieldId == fieldId && f.classId == classId) return &f;
    return nullptr;
}

// A new message of the type that (kind, schemaVersion) names: the NAS browse
// message types, or a plain CNMessageBase for other kinds.
CNMessageBase* NewMessage(int kind, int schemaVersion);
