// The host framework's members of the restore reply stream
// (plumbing/EvRestoreReturn.h): the item and message records. The inline
// members live with the plug-in.
#include "plumbing/EvRestoreReturn.h"

#include <cstring>

#include "host_framework/CallSite.h"
#include "host_framework/ReplyWire.h"

int EvRestoreReturn::returnItem(unsigned long isFolder, const char* name, unsigned long modifyTime,
                                long long size, unsigned long extra1, unsigned long extra2,
                                unsigned long extra3, unsigned int extra4) {
    if (!writable("returnItem")) return -1;
    const size_t nameLength = name != nullptr ? strlen(name) : 0;
    if (nameLength > ReplyWire::MAX_RECORD_LENGTH - ReplyWire::ITEM_FIXED_SIZE) {
        NSB_LOG_HERE(LOG_ERROR, "Reply of job [%lld]: item name of [%zu] bytes refused", m_jobId,
                     nameLength);
        return -1;
    }
    unsigned char fixed[ReplyWire::ITEM_FIXED_SIZE];
    ReplyWire::PutU64(fixed, isFolder);
    ReplyWire::PutU64(fixed + 8, modifyTime);
    ReplyWire::PutU64(fixed + 16, static_cast<uint64_t>(size));
    ReplyWire::PutU64(fixed + 24, extra1);
    ReplyWire::PutU64(fixed + 32, extra2);
    ReplyWire::PutU64(fixed + 40, extra3);
    ReplyWire::PutU32(fixed + 48, extra4);
    appendRecord(ReplyWire::TAG_ITEM, fixed, sizeof fixed, name, static_cast<uint32_t>(nameLength));
    return m_failed ? -1 : 0;
}

int EvRestoreReturn::returnMessage(char* text) {
    if (!writable("returnMessage")) return -1;
    const size_t length = text != nullptr ? strlen(text) : 0;
    if (length > ReplyWire::MAX_RECORD_LENGTH) {
        NSB_LOG_HERE(LOG_ERROR, "Reply of job [%lld]: message of [%zu] bytes refused", m_jobId,
                     length);
        return -1;
    }
    appendRecord(ReplyWire::TAG_MESSAGE, text, static_cast<uint32_t>(length));
    return m_failed ? -1 : 0;
}
