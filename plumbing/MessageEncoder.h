// Writes the tagged fields of a network message's argument area: the
// inverse of MessageWalker (plumbing/MessageWalker.h). For the host program
// that sends browse messages, and for tests, fuzz targets and benchmarks;
// the plug-in itself only reads messages, so this is not one of its objects
// (library nsb_message_encoder).
#pragma once

#include <cstdint>           // int64_t, uint32_t
#include <initializer_list>  // std::initializer_list
#include <string>            // std::string
#include <vector>            // std::vector

#include "host/Message.h"  // MessageInfo, MESSAGE_ARG_AREA_SIZE

// A network message as its sender holds it: the header, and the used part
// of the argument area.
struct GuiMessage {
    int64_t sequenceNumber = 0;
    uint32_t argumentCount = 0;
    std::vector<char> arguments;
};

// Appends fields one after the other, without padding: a 32-bit tag, a
// 32-bit length and the value bytes. The header words are in this host's
// byte order, or in network byte order when asked for (the walker's
// `convert`). Never refuses a field: an area longer than
// MESSAGE_ARG_AREA_SIZE is the caller's to check.
class MessageEncoder {
public:
    explicit MessageEncoder(bool networkOrder = false) : m_networkOrder(networkOrder) {}

    // A field of `length` value bytes at `value`.
    MessageEncoder& Field(uint32_t tag, const void* value, uint32_t length);
    // A field holding the bytes of `value`, NUL bytes included.
    MessageEncoder& Field(uint32_t tag, const std::string& value);
    // A text field: the bytes of `text` and a terminating NUL.
    MessageEncoder& Text(uint32_t tag, const std::string& text);
    // A field of 32-bit words, in this host's byte order.
    MessageEncoder& Words(uint32_t tag, std::initializer_list<uint32_t> words);
    // A field header alone, whatever `length` says: the value (if any) is
    // for Bytes to write. Counts as a field.
    MessageEncoder& Header(uint32_t tag, uint32_t length);
    // Bytes after the fields, counted as no field.
    MessageEncoder& Bytes(const std::string& bytes);

    const std::vector<char>& area() const { return m_area; }
    uint32_t count() const { return m_count; }

    // The message with these fields.
    GuiMessage Message(int64_t sequenceNumber) const;

private:
    std::vector<char> m_area;
    uint32_t m_count = 0;
    bool m_networkOrder;
};

// The browse message the desktop GUI sends: the NAS file server's name
// (TAG_NAS_INTERFACE, NUL-terminated) and the VessaCell id (TAG_VESSACELL_INFO:
// word 0 is 0, word 1 the id). Throws std::length_error when the name does
// not fit the argument area.
GuiMessage MakeGuiBrowseMessage(int64_t sequenceNumber, const std::string& server,
                                unsigned long vessaCellId);

// Copies `message` into `info` (the header and the argument area, the rest
// of the area zero-filled; an area longer than MESSAGE_ARG_AREA_SIZE is cut)
// and sets the reply socket to `replyFd`.
void FillMessageInfo(const GuiMessage& message, int replyFd, MessageInfo& info);
