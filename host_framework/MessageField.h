// One stored field of a CNMessageBase (inside the host framework only).
#pragma once

#include <string>
#include <vector>

#include "host/MessageBase.h"

struct CNMessageBase::Field {
    enum Type { INT64, STRING, LIST, RECORD, PSTRING };

    Field(short fieldNumber, short second, Type t) : field(fieldNumber), secondIndex(second), type(t) {}
    Field(const Field& other);
    Field& operator=(const Field&) = delete;
    ~Field();

    std::vector<App::MachineBrowseItem>* items() const {
        return static_cast<std::vector<App::MachineBrowseItem>*>(list);
    }

    short field;
    short secondIndex;
    Type type;
    long long integer = 0;             // INT64
    std::string text;                  // STRING
    void* list = nullptr;              // LIST: owned std::vector<App::MachineBrowseItem>*
    CNMessageBase* record = nullptr;   // RECORD: owned, may be null
    pstring password;                  // PSTRING
};

// A new message of the type that (kind, schemaVersion) names: the NAS browse
// message types, or a plain CNMessageBase for other kinds.
CNMessageBase* NewMessage(int kind, int schemaVersion);
