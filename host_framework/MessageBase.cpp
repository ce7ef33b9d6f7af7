// The host's XML message fields: storage, lookup and deep copies.

#include "host/MessageBase.h"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>

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
// The store
//
// A message's fields live in one malloc'd block: a 32-bit count of the bytes
// in use, then one record per field. Its capacity is what the allocator
// gives (malloc_usable_size), so a browse item's four fields, its name
// inline, fit one 48-byte chunk. A record:
//   key    1 byte, the index of (classId, fieldId, field, secondIndex) in the
//          process's table of keys; 0xFF and 2 more bytes past index 254;
//   tag    1 byte: the type in the low 3 bits, a count in the high 5;
//   INT64  the value's low `count` bytes, little-endian (the others are 0);
//   STRING the length in `count` bytes, then the bytes;
//   LIST, RECORD, PSTRING
//          the address of the owned cell (8 bytes).

namespace {

typedef std::vector<App::MachineBrowseItem> ItemList;
typedef CNMessageBase::Field Field;

struct Key {
    unsigned long classId;
    unsigned int fieldId;
    short field;
    short secondIndex;
};

// The keys of every field this process stored: few (a message type has a
// handful), never removed, and read without a lock: an index is published
// only after its key is written.
constexpr size_t kMaxKeys = 0xFF + 0x10000;
Key g_keys[kMaxKeys];
std::atomic<size_t> g_keyCount{0};
std::mutex g_keyMutex;

size_t FindKey(const Key& key, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const Key& k = g_keys[i];
        if (k.fieldId == key.fieldId && k.classId == key.classId && k.field == key.field &&
            k.secondIndex == key.secondIndex)
            return i;
    }
    return kMaxKeys;
}

size_t KeyIndex(const Key& key) {
    size_t index = FindKey(key, g_keyCount.load(std::memory_order_acquire));
    if (index != kMaxKeys) return index;
    std::lock_guard<std::mutex> lock(g_keyMutex);
    const size_t count = g_keyCount.load(std::memory_order_relaxed);
    index = FindKey(key, count);
    if (index != kMaxKeys) return index;
    if (count == kMaxKeys) throw std::length_error("CNMessageBase: too many distinct fields");
    g_keys[count] = key;
    g_keyCount.store(count + 1, std::memory_order_release);
    return count;
}

constexpr size_t kHeader = 4;
constexpr size_t kPointer = sizeof(void*);

size_t Used(const unsigned char* store) {
    if (store == nullptr) return kHeader;
    uint32_t used;
    std::memcpy(&used, store, sizeof used);
    return used;
}

void SetUsed(unsigned char* store, size_t used) {
    const uint32_t value = static_cast<uint32_t>(used);
    std::memcpy(store, &value, sizeof value);
}

size_t KeyBytes(size_t index) { return index < 0xFF ? 1 : 3; }

unsigned char* PutKey(unsigned char* at, size_t index) {
    if (index < 0xFF) {
        *at = static_cast<unsigned char>(index);
        return at + 1;
    }
    at[0] = 0xFF;
    at[1] = static_cast<unsigned char>((index - 0xFF) & 0xFF);
    at[2] = static_cast<unsigned char>((index - 0xFF) >> 8);
    return at + 3;
}

// Bytes that hold `value` (0 for 0).
unsigned ByteCount(uint64_t value) {
    unsigned n = 0;
    while (value != 0) {
        ++n;
        value >>= 8;
    }
    return n;
}

void PutBytes(unsigned char* at, uint64_t value, unsigned n) {
    for (unsigned i = 0; i < n; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t GetBytes(const unsigned char* at, unsigned n) {
    uint64_t value = 0;
    for (unsigned i = 0; i < n; ++i) value |= uint64_t(at[i]) << (8 * i);
    return value;
}

// One record as it is decoded from the store.
struct Record {
    size_t offset = 0;
    size_t size = 0;
    const Key* key = nullptr;
    Field::Type type = Field::INT64;
    uint64_t value = 0;  // INT64; STRING: the length
    const unsigned char* bytes =
        nullptr;  // STRING: its bytes; other pointer types: the cell's address
};

Record Decode(const unsigned char* store, size_t offset) {
    Record r;
    r.offset = offset;
    const unsigned char* p = store + offset;
    size_t index = *p++;
    if (index == 0xFF) {
        index = 0xFF + (size_t(p[0]) | size_t(p[1]) << 8);
        p += 2;
    }
    r.key = &g_keys[index];
    const unsigned tag = *p++;
    r.type = static_cast<Field::Type>(tag & 7);
    const unsigned count = tag >> 3;
    switch (r.type) {
    case Field::INT64:
        r.value = GetBytes(p, count);
        p += count;
        break;
    case Field::STRING:
        r.value = GetBytes(p, count);
        p += count;
        r.bytes = p;
        p += r.value;
        break;
    default:
        r.bytes = p;
        p += kPointer;
        break;
    }
    r.size = static_cast<size_t>(p - (store + offset));
    return r;
}

template <class T>
T* Cell(const Record& r) {
    T* cell;
    std::memcpy(&cell, r.bytes, sizeof cell);
    return cell;
}

// Frees what the record owns.
void ReleaseRecord(const Record& r) noexcept {
    switch (r.type) {
    case Field::LIST:
        if (void** cell = Cell<void*>(r)) {
            delete static_cast<ItemList*>(*cell);
            delete cell;
        }
        break;
    case Field::RECORD:
        if (CNMessageBase** cell = Cell<CNMessageBase*>(r)) {
            delete *cell;
            delete cell;
        }
        break;
    case Field::PSTRING: delete Cell<pstring>(r); break;
    default: break;
    }
}

void FreeStore(unsigned char* store) noexcept {
    if (store == nullptr) return;
    const size_t used = Used(store);
    for (size_t at = kHeader; at < used;) {
        const Record r = Decode(store, at);
        ReleaseRecord(r);
        at += r.size;
    }
    std::free(store);
}

// The record under (classId, fieldId); size 0 when there is none.
Record Find(const unsigned char* store, unsigned long classId, unsigned int fieldId) {
    const size_t used = Used(store);
    for (size_t at = kHeader; at < used;) {
        const Record r = Decode(store, at);
        if (r.key->fieldId == fieldId && r.key->classId == classId) return r;
        at += r.size;
    }
    return Record();
}

// Room for `more` bytes past those in use; the store is unchanged when this
// throws.
void Reserve(unsigned char*& store, size_t more) {
    const size_t need = Used(store) + more;
    if (need > 0xFFFFFFFFu) throw std::length_error("CNMessageBase: fields too long");
    if (store != nullptr && malloc_usable_size(store) >= need) return;
    // A first block of at least 40 bytes: a browse item's fields fill it.
    const size_t size = store == nullptr ? std::max<size_t>(need, 40) : need;
    void* grown = std::realloc(store, size);
    if (grown == nullptr) throw std::bad_alloc();
    if (store == nullptr) SetUsed(static_cast<unsigned char*>(grown), kHeader);
    store = static_cast<unsigned char*>(grown);
}

// Removes the record (and what it owns).
void Remove(unsigned char* store, const Record& r) noexcept {
    ReleaseRecord(r);
    const size_t used = Used(store);
    std::memmove(store + r.offset, store + r.offset + r.size, used - r.offset - r.size);
    SetUsed(store, used - r.size);
}

// A record to add: its key's index, type, and value.
struct NewRecord {
    size_t key;
    Field::Type type;
    uint64_t value;     // INT64; STRING: the length
    const void* bytes;  // STRING: the bytes; pointer types: the cell
    size_t Size() const {
        const size_t head = KeyBytes(key) + 1;
        switch (type) {
        case Field::INT64: return head + ByteCount(value);
        case Field::STRING: return head + ByteCount(value) + value;
        default: return head + kPointer;
        }
    }
};

// Replaces the field under the record's key (classId, fieldId) with `made`,
// which the store takes over; on a throw the store is unchanged and `made`'s
// cell, if any, is the caller's.
void Store(unsigned char*& store, const Key& key, const NewRecord& made) {
    Reserve(store, made.Size());
    const Record old = Find(store, key.classId, key.fieldId);
    if (old.size != 0) Remove(store, old);
    const size_t used = Used(store);
    unsigned char* p = PutKey(store + used, made.key);
    switch (made.type) {
    case Field::INT64:
    case Field::STRING: {
        const unsigned n = ByteCount(made.value);
        *p++ = static_cast<unsigned char>(made.type | n << 3);
        PutBytes(p, made.value, n);
        p += n;
        if (made.type == Field::STRING && made.value != 0) {
            std::memcpy(p, made.bytes, made.value);
            p += made.value;
        }
        break;
    }
    default:
        *p++ = static_cast<unsigned char>(made.type);
        std::memcpy(p, &made.bytes, kPointer);
        p += kPointer;
        break;
    }
    SetUsed(store, static_cast<size_t>(p - store));
}

Field View(const Record& r) {
    Field f;
    f.classId = r.key->classId;
    f.fieldId = r.key->fieldId;
    f.field = r.key->field;
    f.secondIndex = r.key->secondIndex;
    f.kind = r.type;
    switch (r.type) {
    case Field::INT64: f.integer = static_cast<long long>(r.value); break;
    case Field::STRING:
        f.chars = std::string_view(reinterpret_cast<const char*>(r.bytes), r.value);
        break;
    case Field::LIST: f.list = Cell<void*>(r); break;
    case Field::RECORD: f.record = Cell<CNMessageBase*>(r); break;
    case Field::PSTRING: f.password = Cell<pstring>(r); break;
    }
    return f;
}

// A deep copy of `store`.
unsigned char* CopyStore(const unsigned char* store) {
    if (store == nullptr) return nullptr;
    const size_t used = Used(store);
    auto* copy = static_cast<unsigned char*>(std::malloc(used));
    if (copy == nullptr) throw std::bad_alloc();
    std::memcpy(copy, store, used);
    // Cells not copied yet are null, so that a throw frees only the copies.
    for (size_t at = kHeader; at < used;) {
        const Record r = Decode(copy, at);
        if (r.type >= Field::LIST) std::memset(const_cast<unsigned char*>(r.bytes), 0, kPointer);
        at += r.size;
    }
    try {
        for (size_t at = kHeader; at < used;) {
            const Record r = Decode(store, at);
            void* cell = nullptr;
            if (r.type == Field::LIST) {
                const ItemList* items = static_cast<ItemList*>(*Cell<void*>(r));
                std::unique_ptr<ItemList> list(items != nullptr ? new ItemList(*items) : nullptr);
                cell = new void*(list.get());
                list.release();
            } else if (r.type == Field::RECORD) {
                const CNMessageBase* nested = *Cell<CNMessageBase*>(r);
                std::unique_ptr<CNMessageBase> made;
                if (nested != nullptr) {
                    made.reset(NewMessage(nested->kind(), nested->schemaVersion()));
                    *made = *nested;
                }
                cell = new CNMessageBase*(made.get());
                made.release();
            } else if (r.type == Field::PSTRING) {
                cell = new pstring(*Cell<pstring>(r));
            }
            if (cell != nullptr) std::memcpy(copy + (r.bytes - store), &cell, kPointer);
            at += r.size;
        }
    } catch (...) {
        FreeStore(copy);
        throw;
    }
    return copy;
}

// Stores a new pointer-type field made by `make` (which returns the cell),
// freeing the cell with `drop` should the store throw.
template <class Make, class Drop>
void* StoreCell(unsigned char*& store, const Key& key, Field::Type type, Make make, Drop drop) {
    const size_t index = KeyIndex(key);
    void* cell = make();
    try {
        Store(store, key, NewRecord{index, type, 0, cell});
    } catch (...) {
        drop(cell);
        throw;
    }
    return cell;
}

}  // namespace

// ---------------------------------------------------------------------------
// CNMessageBase

CNMessageBase::CNMessageBase(int kind, int schemaVersion)
    : m_kind(kind), m_schemaVersion(schemaVersion), m_store(nullptr) {}

CNMessageBase::CNMessageBase(const CNMessageBase& other)
    : m_kind(other.m_kind),
      m_schemaVersion(other.m_schemaVersion),
      m_store(CopyStore(other.m_store)) {}

CNMessageBase& CNMessageBase::operator=(const CNMessageBase& other) {
    if (this != &other) {
        unsigned char* copy = CopyStore(other.m_store);
        FreeStore(m_store);
        m_store = copy;
        m_kind = other.m_kind;
        m_schemaVersion = other.m_schemaVersion;
    }
    return *this;
}

CNMessageBase::CNMessageBase(CNMessageBase&& other) noexcept
    : m_kind(other.m_kind), m_schemaVersion(other.m_schemaVersion), m_store(other.m_store) {
    other.m_store = nullptr;
}

CNMessageBase& CNMessageBase::operator=(CNMessageBase&& other) noexcept {
    if (this != &other) {
        FreeStore(m_store);
        m_store = other.m_store;
        other.m_store = nullptr;
        m_kind = other.m_kind;
        m_schemaVersion = other.m_schemaVersion;
    }
    return *this;
}

CNMessageBase::~CNMessageBase() { FreeStore(m_store); }

bool CNMessageBase::findField(unsigned long classId, unsigned int fieldId, Field& out) const {
    const Record r = Find(m_store, classId, fieldId);
    if (r.size == 0) return false;
    out = View(r);
    return true;
}

// The field under (classId, fieldId) when it has these numbers.
bool CNMessageBase::matching(short field, short secondIndex, unsigned long classId,
                             unsigned int fieldId, Field& out) const {
    return findField(classId, fieldId, out) && out.field == field && out.secondIndex == secondIndex;
}

bool CNMessageBase::isSet(short field, unsigned long classId, unsigned long fieldId) const {
    if (fieldId > 0xFFFFFFFFul) return false;
    Field f;
    return findField(classId, static_cast<unsigned int>(fieldId), f) && f.field == field;
}

long long CNMessageBase::getint64(short secondIndex, unsigned long classId,
                                  unsigned int fieldId) const {
    Field f;
    return findField(classId, fieldId, f) && f.secondIndex == secondIndex &&
                   f.type() == Field::INT64
               ? f.integer
               : 0;
}

std::string CNMessageBase::getstring(short field, short secondIndex, unsigned long classId,
                                     unsigned int fieldId) const {
    Field f;
    if (matching(field, secondIndex, classId, fieldId, f) && f.type() == Field::STRING)
        return std::string(f.text());
    return std::string();
}

void CNMessageBase::setint64(short field, short secondIndex, long long value, unsigned long classId,
                             unsigned int fieldId) {
    const Key key{classId, fieldId, field, secondIndex};
    Store(m_store, key,
          NewRecord{KeyIndex(key), Field::INT64, static_cast<uint64_t>(value), nullptr});
}

void CNMessageBase::setstring(short field, short secondIndex, const std::string& value,
                              unsigned long classId, unsigned int fieldId) {
    const Key key{classId, fieldId, field, secondIndex};
    Store(m_store, key, NewRecord{KeyIndex(key), Field::STRING, value.size(), value.data()});
}

namespace {
// Handed out by the accessors for an absent field that is not to be created.
thread_local void* t_nullList = nullptr;
thread_local CNMessageBase* t_nullRecord = nullptr;
}  // namespace

void** CNMessageBase::getlistobject(short field, short secondIndex, unsigned long classId,
                                    unsigned int fieldId, bool create) {
    Field f;
    if (matching(field, secondIndex, classId, fieldId, f))
        return f.type() == Field::LIST ? f.list : nullptr;
    if (!create) {
        t_nullList = nullptr;
        return &t_nullList;
    }
    return static_cast<void**>(StoreCell(
        m_store, Key{classId, fieldId, field, secondIndex}, Field::LIST,
        [] {
            std::unique_ptr<ItemList> made(new ItemList());
            void** cell = new void*(made.get());
            made.release();
            return static_cast<void*>(cell);
        },
        [](void* cell) {
            delete static_cast<ItemList*>(*static_cast<void**>(cell));
            delete static_cast<void**>(cell);
        }));
}

CNMessageBase** CNMessageBase::getObjectAccessor(bool create, bool /*reserved*/, short field,
                                                 short secondIndex, unsigned long classId,
                                                 unsigned int fieldId, int kind,
                                                 int schemaVersion) {
    Field f;
    if (matching(field, secondIndex, classId, fieldId, f)) {
        if (f.type() != Field::RECORD) return nullptr;
        if (*f.record == nullptr && create) *f.record = NewMessage(kind, schemaVersion);
        return f.record;
    }
    if (!create) {
        t_nullRecord = nullptr;
        return &t_nullRecord;
    }
    return static_cast<CNMessageBase**>(StoreCell(
        m_store, Key{classId, fieldId, field, secondIndex}, Field::RECORD,
        [&] {
            std::unique_ptr<CNMessageBase> made(NewMessage(kind, schemaVersion));
            CNMessageBase** cell = new CNMessageBase*(made.get());
            made.release();
            return static_cast<void*>(cell);
        },
        [](void* cell) {
            delete *static_cast<CNMessageBase**>(cell);
            delete static_cast<CNMessageBase**>(cell);
        }));
}

pstring* CNMessageBase::getpstringobject(short field, short secondIndex, unsigned long classId,
                                         unsigned int fieldId) {
    Field f;
    if (matching(field, secondIndex, classId, fieldId, f))
        return f.type() == Field::PSTRING ? f.password : nullptr;
    return static_cast<pstring*>(StoreCell(
        m_store, Key{classId, fieldId, field, secondIndex}, Field::PSTRING,
        [] { return static_cast<void*>(new pstring()); },
        [](void* cell) { delete static_cast<pstring*>(cell); }));
}

namespace App {

std::vector<MachineBrowseItem>* MachineBrowseResp::getBrowseItems() {
    void** list = getlistobject(2, 5, CLASS_MACHINE_BROWSE_RESP, 0x99D756, true);
    return list != nullptr ? static_cast<std::vector<MachineBrowseItem>*>(*list) : nullptr;
}

}  // namespace App
