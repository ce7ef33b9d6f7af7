// One stored field of a CNMessageBase as read from its store (inside the
// host framework only).
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "host/MessageBase.h"

// A view of a field: valid until the message it came from changes. A list,
// a nested record and a protected text are each held in their own
// allocation, whose address the accessors hand out: it stays put when the
// message gains fields or is moved.
struct CNMessageBase::Field {
    enum Type : unsigned char { INT64, STRING, LIST, RECORD, PSTRING };

    unsigned long classId = 0;
    unsigned int fieldId = 0;
    short field = 0;
    short secondIndex = 0;
    Type kind = INT64;
    long long integer = 0;   // INT64
    std::string_view chars;  // STRING
    void** list = nullptr;   // LIST: the cell holding the std::vector<App::MachineBrowseItem>*
    CNMessageBase** record = nullptr;  // RECORD: the cell holding the record (or null)
    pstring* password = nullptr;       // PSTRING

    Type type() const { return kind; }
    // STRING: the bytes; empty for other types.
    std::string_view text() const { return chars; }
    // LIST: the list (null when the holder of the address cleared it).
    std::vector<App::MachineBrowseItem>* items() const {
        return list != nullptr ? static_cast<std::vector<App::MachineBrowseItem>*>(*list) : nullptr;
    }
    // RECORD: the record, or null.
    CNMessageBase* nested() const { return record != nullptr ? *record : nullptr; }
};

// The field stored under (classId, fieldId), if any.
inline std::optional<CNMessageBase::Field> FindField(const CNMessageBase& message,
                                                     unsigned long classId, unsigned int fieldId) {
    CNMessageBase::Field f;
    if (!message.findField(classId, fieldId, f)) return std::nullopt;
    return f;
}

// A new message of the type that (kind, schemaVersion) names: the NAS browse
// message types, or a plain CNMessageBase for other kinds.
CNMessageBase* NewMessage(int kind, int schemaVersion);
