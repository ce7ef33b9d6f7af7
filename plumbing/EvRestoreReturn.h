// The restore reply stream of one network browse request.
//
// The classes are declared by the host framework's interface; their
// constructors, destructors, setSourcePath and end are inline members that
// live with the plug-in, while returnItem and returnMessage belong to the
// host framework.
#pragma once

#include <cstdint>  // int32_t, uint64_t

#include "host/EvReturnData.h"  // EvReturnData, CLumSocket, COrvNetwork
#include "host/Platform.h"      // BoundedCopy, HOST_API

enum : unsigned long {
    RETURN_TYPE_RESTORE = 1004,  // return-data type of a restore reply
    REPLY_TAG_TRAILER = 2323,    // tag of the reply trailer
};
enum : unsigned long { REPLY_FLUSH_CODE = 9 };    // dumpBuffer code before the trailer
enum : unsigned int { SOURCE_PATH_SIZE = 1024 };  // capacity of m_sourcePath
enum : int { RETURN_KIND_NAS_BROWSE = 0x401 };    // kind of a NAS browse reply

class EvJobReturnData : public EvReturnData {
public:
    EvJobReturnData(unsigned long returnType, long long jobId, const CLumSocket* socket, bool flag,
                    COrvNetwork* network)
        : EvReturnData(returnType, jobId, socket, flag, network), m_jobWord(0) {}
    virtual ~EvJobReturnData() {}

    uint64_t m_jobWord;  // reserved by the host
};

class EvRestoreReturn : public EvJobReturnData {
public:
    // Note the order: the flag comes before the socket here, after it in the base.
    EvRestoreReturn(long long jobId, int returnKind, bool flag, const CLumSocket* socket,
                    COrvNetwork* network)
        : EvJobReturnData(RETURN_TYPE_RESTORE, jobId, socket, flag, network),
          m_trailerValue(0),
          m_restoreWord(0),
          m_returnKind(returnKind) {
        m_sourcePath[0] = '\0';
    }
    virtual ~EvRestoreReturn() {}

    // Stores at most SOURCE_PATH_SIZE - 1 bytes of `path`, always terminated.
    // A null path is stored as the empty text.
    void setSourcePath(const char* path) {
        BoundedCopy(m_sourcePath, SOURCE_PATH_SIZE, path, SOURCE_PATH_SIZE - 1);
        m_sourcePath[SOURCE_PATH_SIZE - 1] = '\0';
    }

    // Sends the trailer when there is one, then the end marker.
    int end(long long status) {
        if (m_trailerValue != 0) {
            int32_t trailer = m_trailerValue;
            dumpBuffer(REPLY_FLUSH_CODE);
            send(REPLY_TAG_TRAILER, &trailer, sizeof trailer);
        }
        return EvReturnData::end(status);
    }

    // Host framework: appends one browse item; returns 0 or -1.
    HOST_API int returnItem(unsigned long isFolder, const char* name, unsigned long modifyTime,
                            long long size, unsigned long, unsigned long, unsigned long,
                            unsigned int);
    // Host framework: sends one text message; returns 0 or -1.
    HOST_API int returnMessage(char* text);

    int32_t m_trailerValue;
    uint64_t m_restoreWord;
    int32_t m_returnKind;
    char m_sourcePath[SOURCE_PATH_SIZE];

protected:
    int32_t headerKind() const override { return m_returnKind; }
};
