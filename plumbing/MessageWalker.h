// Walks the tagged fields of a network message's argument area.
//
// A field is a 32-bit tag, a 32-bit length and `length` value bytes; fields
// follow each other without padding, so header words may sit at any address.
// The walker owns nothing: the area and the value scratch belong to the
// caller and must outlive the walk. Used by one thread.
#pragma once

#include <cstdint>  // uint32_t, uint64_t

// Values shorter than this get a terminating 0 after them in the scratch.
enum : unsigned long { VALUE_TERMINATE_LIMIT = 4104 };
// Scratch size the network entry walks with.
enum : unsigned long { VALUE_SCRATCH_SIZE = 65536 };

class MessageWalker {
public:
    MessageWalker();
    ~MessageWalker();

    // Sets the area of `areaSize` bytes holding `fieldCount` fields, and the
    // value scratch (may be null: values are then handed out in place). The
    // scratch is zero-filled. With `convert`, header words are read in network
    // byte order. The walk starts with getFirst.
    void setBuffer(char* area, unsigned long areaSize, char* valueBuffer,
                   unsigned long valueBufferSize, unsigned long fieldCount, bool convert);

    // Restarts the walk and reads the first field; see getNext.
    char* getFirst(unsigned int* tag, unsigned int* length);

    // Reads the next field: stores its tag and length (either pointer may be
    // null) and returns its value, copied to the start of the scratch (a 0
    // follows a value shorter than VALUE_TERMINATE_LIMIT when it fits), or in
    // place when there is no scratch. Returns null when the walk is over: all
    // fields read, a value longer than the scratch, or a field whose header or
    // value would reach past the end of the area.
    char* getNext(unsigned int* tag, unsigned int* length);

    char* m_pArea;
    char* m_pCursor;
    char* m_pValue;
    uint64_t m_areaSize;
    uint64_t m_valueSize;
    uint64_t m_fieldCount;
    uint32_t m_fieldsRead;
    bool m_convert;
};
