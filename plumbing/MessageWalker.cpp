#include "plumbing/MessageWalker.h"

#include <arpa/inet.h>  // ntohl
#include <cstring>      // memcpy, memset

namespace {
const uint64_t kFieldHeaderSize = 8;
}

MessageWalker::MessageWalker()
    : m_pArea(nullptr),
      m_pCursor(nullptr),
      m_pValue(nullptr),
      m_areaSize(0),
      m_valueSize(0),
      m_fieldCount(0),
      m_fieldsRead(0),
      m_convert(false) {}

MessageWalker::~MessageWalker() {}

void MessageWalker::setBuffer(char* area, unsigned long areaSize, char* valueBuffer,
                              unsigned long valueBufferSize, unsigned long fieldCount,
                              bool convert) {
    m_pArea = area;
    m_areaSize = areaSize;
    m_pValue = valueBuffer;
    m_valueSize = valueBufferSize;
    m_fieldCount = fieldCount;
    m_convert = convert;
    if (valueBuffer != nullptr) memset(valueBuffer, 0, valueBufferSize);
}

char* MessageWalker::getFirst(unsigned int* tag, unsigned int* length) {
    m_pCursor = m_pArea;
    m_fieldsRead = 0;
    return getNext(tag, length);
}

char* MessageWalker::getNext(unsigned int* tag, unsigned int* length) {
    if (m_pCursor == nullptr || m_areaSize == 0 || m_valueSize == 0 || m_fieldCount == 0)
        return nullptr;
    if (m_fieldsRead >= m_fieldCount) {  // all fields read; the count stays past the end
        if (m_fieldsRead < UINT32_MAX) ++m_fieldsRead;
        return nullptr;
    }
    ++m_fieldsRead;

    // The cursor never leaves [area, area + areaSize]: a header or value that
    // would reach past the end ends the walk without reading it.
    const uint64_t offset = static_cast<uint64_t>(m_pCursor - m_pArea);
    if (m_areaSize - offset < kFieldHeaderSize) {
        m_pCursor = m_pArea + m_areaSize;
        return nullptr;
    }

    uint32_t fieldTag;
    uint32_t fieldLength;
    memcpy(&fieldTag, m_pCursor, sizeof fieldTag);
    memcpy(&fieldLength, m_pCursor + 4, sizeof fieldLength);
    if (m_convert) {
        fieldTag = ntohl(fieldTag);
        fieldLength = ntohl(fieldLength);
    }
    m_pCursor += kFieldHeaderSize;
    if (tag != nullptr) *tag = fieldTag;
    if (length != nullptr) *length = fieldLength;

    if (fieldLength > m_valueSize) return nullptr;
    if (fieldLength > m_areaSize - offset - kFieldHeaderSize) {
        m_pCursor = m_pArea + m_areaSize;
        return nullptr;
    }

    char* result = m_pCursor;
    if (m_pValue != nullptr) {
        memcpy(m_pValue, m_pCursor, fieldLength);
        if (fieldLength < VALUE_TERMINATE_LIMIT && fieldLength < m_valueSize)
            m_pValue[fieldLength] = '\0';
        result = m_pValue;
    }
    m_pCursor += fieldLength;
    return result;
}
