// The host's XML message fields: storage, lookup and deep copies.

#include "host/MessageBase.h"

#include <utility>

#include "host_framework/MessageField.h"

CNMessageBase* NewMessage(int kind, int schemaVersion) {
    // The browse types add no data to CNMessageBase; their (kind, schema
    // version) pairs tell them apart.
    const auto is = [&](const CNMessageBase& m) {
        return m.kind() == kind && m.schemaVersion() == schemaVersion;
    };
    static const App::MachineBrowseItem item;
    static const App::MachineBrowseReqInfo info;
    static const App::MachineBrowseReq req;
    static const App::MachineBrowseResp resp;
    static const App::GenericResp generic;
    if (is(item)) return new App::MachineBrowseItem();
    if (is(info)) return new App::MachineBrowseReqInfo();
    if (is(req)) return new App::MachineBrowseReq();
    if (is(resp)) return new App::MachineBrowseResp();
    if (is(generic)) return new App::GenericResp();
    return new CNMessageBase(kind, schemaVersion);
}

CNMessageBase::Field::Field(const Field& other)
    : field(other.field),
      secondIndex(other.secondIndex),
      type(other.type),
      integer(other.integer),
      text(other.text),
      password(other.password) {
    if (other.list != nullptr) list = new std::vector<App::MachineBrowseItem>(*other.items());
    if (other.record != nullptr) {
        CNMessageBase* copy = NewMessage(other.record->kind(), other.record->schemaVersion());
        *copy = *other.record;
        record = copy;
    }
}

CNMessageBase::Field::~Field() {
    delete items();
    delete record;
}

CNMessageBase::CNMessageBase(int kind, int schemaVersion)
    : m_kind(kind), m_schemaVersion(schemaVersion) {}

CNMessageBase::CNMessageBase(const CNMessageBase& other)
    : m_kind(other.m_kind), m_schemaVersion(other.m_schemaVersion) {
    for (const auto& entry : other.m_fields)
        m_fields.emplace(entry.first, std::make_shared<Field>(*entry.second));
}

CNMessageBase& CNMessageBase::operator=(const CNMessageBase& other) {
    if (this != &other) {
        CNMessageBase copy(other);
        m_kind = copy.m_kind;
        m_schemaVersion = copy.m_schemaVersion;
        m_fields.swap(copy.m_fields);
    }
    return *this;
}

CNMessageBase::CNMessageBase(CNMessageBase&& other) noexcept
    : m_kind(other.m_kind), m_schemaVersion(other.m_schemaVersion), m_fields(std::move(other.m_fields)) {
    other.m_fields.clear();
}

CNMessageBase& CNMessageBase::operator=(CNMessageBase&& other) noexcept {
    if (this != &other) {
        m_kind = other.m_kind;
        m_schemaVersion = other.m_schemaVersion;
        m_fields.swap(other.m_fields);
        other.m_fields.clear();
    }
    return *this;
}

CNMessageBase::~CNMessageBase() {}

const CNMessageBase::Field* CNMessageBase::find(unsigned long classId, unsigned int fieldId) const {
    const auto found = m_fields.find(std::make_pair(classId, fieldId));
    return found != m_fields.end() ? found->second.get() : nullptr;
}

// The field stored under (classId, fieldId) with these numbers; a stored
// field with other numbers is replaced by an empty one.
CNMessageBase::Field& CNMessageBase::slot(short field, short secondIndex, unsigned long classId,
                                          unsigned int fieldId) {
    std::shared_ptr<Field>& stored = m_fields[std::make_pair(classId, fieldId)];
    if (!stored || stored->field != field || stored->secondIndex != secondIndex)
        stored = std::make_shared<Field>(field, secondIndex, Field::INT64);
    return *stored;
}

bool CNMessageBase::isSet(short field, unsigned long classId, unsigned long fieldId) const {
    if (fieldId > 0xFFFFFFFFul) return false;
    const Field* f = find(classId, static_cast<unsigned int>(fieldId));
    return f != nullptr && f->field == field;
}

long long CNMessageBase::getint64(short secondIndex, unsigned long classId, unsigned int fieldId) const {
    const Field* f = find(classId, fieldId);
    return f != nullptr && f->secondIndex == secondIndex && f->type == Field::INT64 ? f->integer : 0;
}

std::string CNMessageBase::getstring(short field, short secondIndex, unsigned long classId,
                                     unsigned int fieldId) const {
    const Field* f = find(classId, fieldId);
    if (f != nullptr && f->field == field && f->secondIndex == secondIndex && f->type == Field::STRING)
        return f->text;
    return std::string();
}

void CNMessageBase::setint64(short field, short secondIndex, long long value, unsigned long classId,
                             unsigned int fieldId) {
    auto made = std::make_shared<Field>(field, secondIndex, Field::INT64);
    made->integer = value;
    m_fields[std::make_pair(classId, fieldId)] = std::move(made);
}

void CNMessageBase::setstring(short field, short secondIndex, const std::string& value,
                              unsigned long classId, unsigned int fieldId) {
    auto made = std::make_shared<Field>(field, secondIndex, Field::STRING);
    made->text = value;
    m_fields[std::make_pair(classId, fieldId)] = std::move(made);
}

namespace {
// Handed out by the accessors for an absent field that is not to be created.
thread_local void* t_nullList = nullptr;
thread_local CNMessageBase* t_nullRecord = nullptr;
}  // namespace

void** CNMessageBase::getlistobject(short field, short secondIndex, unsigned long classId,
                                    unsigned int fieldId, bool create) {
    const Field* f = find(classId, fieldId);
    const bool matches = f != nullptr && f->field == field && f->secondIndex == secondIndex;
    if (matches && f->type != Field::LIST) return nullptr;
    if (!matches && !create) {
        t_nullList = nullptr;
        return &t_nullList;
    }
    Field& s = slot(field, secondIndex, classId, fieldId);
    if (s.type != Field::LIST) {
        s.type = Field::LIST;
        s.list = new std::vector<App::MachineBrowseItem>();
    }
    return &s.list;
}

CNMessageBase** CNMessageBase::getObjectAccessor(bool create, bool /*reserved*/, short field,
                                                 short secondIndex, unsigned long classId,
                                                 unsigned int fieldId, int kind,
                                                 int schemaVersion) {
    const Field* f = find(classId, fieldId);
    const bool matches = f != nullptr && f->field == field && f->secondIndex == secondIndex;
    if (matches && f->type != Field::RECORD) return nullptr;
    if (!matches && !create) {
        t_nullRecord = nullptr;
        return &t_nullRecord;
    }
    Field& s = slot(field, secondIndex, classId, fieldId);
    if (s.type != Field::RECORD) {
        s.type = Field::RECORD;
        s.record = NewMessage(kind, schemaVersion);
    } else if (s.record == nullptr && create) {
        s.record = NewMessage(kind, schemaVersion);
    }
    return &s.record;
}

pstring* CNMessageBase::getpstringobject(short field, short secondIndex, unsigned long classId,
                                         unsigned int fieldId) {
    const Field* f = find(classId, fieldId);
    const bool matches = f != nullptr && f->field == field && f->secondIndex == secondIndex;
    if (matches && f->type != Field::PSTRING) return nullptr;
    Field& s = slot(field, secondIndex, classId, fieldId);
    s.type = Field::PSTRING;
    return &s.password;
}

namespace App {

std::vector<MachineBrowseItem>* MachineBrowseResp::getBrowseItems() {
    void** list = getlistobject(2, 5, CLASS_MACHINE_BROWSE_RESP, 0x99D756, true);
    return list != nullptr ? static_cast<std::vector<MachineBrowseItem>*>(*list) : nullptr;
}

}  // namespace App
