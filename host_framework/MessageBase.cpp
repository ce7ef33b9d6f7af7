// The host's XML message fields: storage, lookup and deep copies.

#include "host/MessageBase.h"

#include <cstring>
#include <memory>
#include <stdexcept>
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

// ---------------------------------------------------------------------------
// Field

namespace {
typedef std::vector<App::MachineBrowseItem> ItemList;
static_assert(sizeof(void*) != 8 || sizeof(CNMessageBase::Field) == 32,
              "a browse item's four fields fit one 128-byte allocation");
}  // namespace

CNMessageBase::Field::Field(const Field& other)
    : classId(other.classId),
      fieldId(other.fieldId),
      field(other.field),
      secondIndex(other.secondIndex),
      m_type(INT64),
      m_length(0),
      integer(0) {
    switch (other.type()) {
    case INT64: integer = other.integer; break;
    case STRING:
        if (other.m_length != 0) {
            chars = new char[other.m_length];
            std::memcpy(chars, other.chars, other.m_length);
            m_length = other.m_length;
        }
        break;
    case LIST: {
        std::unique_ptr<ItemList> copy(other.items() != nullptr ? new ItemList(*other.items())
                                                                : nullptr);
        list = new void*(copy.get());
        copy.release();
        break;
    }
    case RECORD: {
        std::unique_ptr<CNMessageBase> copy;
        if (other.nested() != nullptr) {
            copy.reset(NewMessage(other.nested()->kind(), other.nested()->schemaVersion()));
            *copy = *other.nested();
        }
        record = new CNMessageBase*(copy.get());
        copy.release();
        break;
    }
    case PSTRING: password = new pstring(*other.password); break;
    }
    m_type = other.m_type;
}

CNMessageBase::Field::Field(Field&& other) noexcept
    : classId(other.classId),
      fieldId(other.fieldId),
      field(other.field),
      secondIndex(other.secondIndex),
      m_type(INT64),
      m_length(0),
      integer(0) {
    take(other);
}

void CNMessageBase::Field::take(Field& other) noexcept {
    m_type = other.m_type;
    m_length = other.m_length;
    integer = 0;
    switch (type()) {
    case INT64: integer = other.integer; break;
    case STRING: chars = other.chars; break;
    case LIST: list = other.list; break;
    case RECORD: record = other.record; break;
    case PSTRING: password = other.password; break;
    }
    other.m_type = INT64;
    other.m_length = 0;
    other.integer = 0;
}

void CNMessageBase::Field::release() noexcept {
    switch (type()) {
    case INT64: break;
    case STRING: delete[] chars; break;
    case LIST:
        delete items();
        delete list;
        break;
    case RECORD:
        delete nested();
        delete record;
        break;
    case PSTRING: delete password; break;
    }
    m_type = INT64;
    m_length = 0;
    integer = 0;
}

void CNMessageBase::Field::reset(short fieldNumber, short second) noexcept {
    release();
    field = fieldNumber;
    secondIndex = second;
}

void CNMessageBase::Field::setInteger(long long value) noexcept {
    release();
    integer = value;
}

void CNMessageBase::Field::setText(const std::string& value) {
    static_assert(sizeof(std::string::size_type) <= 8, "length field");
    if (value.size() >= (std::uint64_t(1) << 56))
        throw std::length_error("CNMessageBase: text too long");
    char* bytes = nullptr;
    if (!value.empty()) {
        bytes = new char[value.size()];
        std::memcpy(bytes, value.data(), value.size());
    }
    release();
    m_type = STRING;
    m_length = value.size();
    chars = bytes;
}

void CNMessageBase::Field::makeList() {
    std::unique_ptr<ItemList> made(new ItemList());
    void** cell = new void*(made.get());
    made.release();
    release();
    m_type = LIST;
    list = cell;
}

void CNMessageBase::Field::makeRecord(int kind, int schemaVersion) {
    std::unique_ptr<CNMessageBase> made(NewMessage(kind, schemaVersion));
    CNMessageBase** cell = new CNMessageBase*(made.get());
    made.release();
    release();
    m_type = RECORD;
    record = cell;
}

void CNMessageBase::Field::makePassword() {
    pstring* made = new pstring();
    release();
    m_type = PSTRING;
    password = made;
}

// ---------------------------------------------------------------------------
// CNMessageBase

CNMessageBase::CNMessageBase(int kind, int schemaVersion)
    : m_kind(kind), m_schemaVersion(schemaVersion) {}

// The vector's copy allocates exactly the fields held: one allocation for all
// of them, plus what each field owns.
CNMessageBase::CNMessageBase(const CNMessageBase& other)
    : m_kind(other.m_kind), m_schemaVersion(other.m_schemaVersion), m_fields(other.m_fields) {}

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
    : m_kind(other.m_kind),
      m_schemaVersion(other.m_schemaVersion),
      m_fields(std::move(other.m_fields)) {
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
    return FindField(m_fields, classId, fieldId);
}

CNMessageBase::Field* CNMessageBase::find(unsigned long classId, unsigned int fieldId) {
    return const_cast<Field*>(FindField(m_fields, classId, fieldId));
}

// Appends `made`, whose (classId, fieldId) is not stored yet.
CNMessageBase::Field& CNMessageBase::add(Field&& made) {
    // Most messages have four fields or fewer (a browse item has four).
    if (m_fields.capacity() == 0) m_fields.reserve(4);
    m_fields.push_back(std::move(made));
    return m_fields.back();
}

// The field stored under (classId, fieldId) with these numbers; a stored
// field with other numbers is replaced by an empty one (an INT64 of 0).
CNMessageBase::Field& CNMessageBase::slot(short field, short secondIndex, unsigned long classId,
                                          unsigned int fieldId) {
    Field* f = find(classId, fieldId);
    if (f != nullptr && f->field == field && f->secondIndex == secondIndex) return *f;
    if (f == nullptr) return add(Field(classId, fieldId, field, secondIndex));
    f->reset(field, secondIndex);
    return *f;
}

bool CNMessageBase::isSet(short field, unsigned long classId, unsigned long fieldId) const {
    if (fieldId > 0xFFFFFFFFul) return false;
    const Field* f = find(classId, static_cast<unsigned int>(fieldId));
    return f != nullptr && f->field == field;
}

long long CNMessageBase::getint64(short secondIndex, unsigned long classId,
                                  unsigned int fieldId) const {
    const Field* f = find(classId, fieldId);
    return f != nullptr && f->secondIndex == secondIndex && f->type() == Field::INT64 ? f->integer
                                                                                      : 0;
}

std::string CNMessageBase::getstring(short field, short secondIndex, unsigned long classId,
                                     unsigned int fieldId) const {
    const Field* f = find(classId, fieldId);
    if (f != nullptr && f->field == field && f->secondIndex == secondIndex &&
        f->type() == Field::STRING)
        return std::string(f->text());
    return std::string();
}

void CNMessageBase::setint64(short field, short secondIndex, long long value, unsigned long classId,
                             unsigned int fieldId) {
    Field* f = find(classId, fieldId);
    if (f == nullptr) f = &add(Field(classId, fieldId, field, secondIndex));
    f->reset(field, secondIndex);
    f->setInteger(value);
}

void CNMessageBase::setstring(short field, short secondIndex, const std::string& value,
                              unsigned long classId, unsigned int fieldId) {
    Field* f = find(classId, fieldId);
    if (f == nullptr) {
        Field made(classId, fieldId, field, secondIndex);
        made.setText(value);
        add(std::move(made));
        return;
    }
    f->setText(value);  // may throw: the field is changed only when it succeeds
    f->field = field;
    f->secondIndex = secondIndex;
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
    if (matches && f->type() != Field::LIST) return nullptr;
    if (!matches && !create) {
        t_nullList = nullptr;
        return &t_nullList;
    }
    Field& s = slot(field, secondIndex, classId, fieldId);
    if (s.type() != Field::LIST) s.makeList();
    return s.list;
}

CNMessageBase** CNMessageBase::getObjectAccessor(bool create, bool /*reserved*/, short field,
                                                 short secondIndex, unsigned long classId,
                                                 unsigned int fieldId, int kind,
                                                 int schemaVersion) {
    const Field* f = find(classId, fieldId);
    const bool matches = f != nullptr && f->field == field && f->secondIndex == secondIndex;
    if (matches && f->type() != Field::RECORD) return nullptr;
    if (!matches && !create) {
        t_nullRecord = nullptr;
        return &t_nullRecord;
    }
    Field& s = slot(field, secondIndex, classId, fieldId);
    if (s.type() != Field::RECORD)
        s.makeRecord(kind, schemaVersion);
    else if (*s.record == nullptr && create)
        *s.record = NewMessage(kind, schemaVersion);
    return s.record;
}

pstring* CNMessageBase::getpstringobject(short field, short secondIndex, unsigned long classId,
                                         unsigned int fieldId) {
    const Field* f = find(classId, fieldId);
    const bool matches = f != nullptr && f->field == field && f->secondIndex == secondIndex;
    if (matches && f->type() != Field::PSTRING) return nullptr;
    Field& s = slot(field, secondIndex, classId, fieldId);
    if (s.type() != Field::PSTRING) s.makePassword();
    return s.password;
}

namespace App {

std::vector<MachineBrowseItem>* MachineBrowseResp::getBrowseItems() {
    void** list = getlistobject(2, 5, CLASS_MACHINE_BROWSE_RESP, 0x99D756, true);
    return list != nullptr ? static_cast<std::vector<MachineBrowseItem>*>(*list) : nullptr;
}

}  // namespace App
