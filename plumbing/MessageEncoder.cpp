#include "plumbing/MessageEncoder.h"

#include <arpa/inet.h>  // htonl
#include <cstring>      // memcpy, memset
#include <stdexcept>    // std::length_error

#include "host/BrowseMessageFields.h"  // TAG_NAS_INTERFACE, TAG_VESSACELL_INFO

MessageEncoder& MessageEncoder::Field(uint32_t tag, const void* value, uint32_t length) {
    Header(tag, length);
    if (length != 0) {
        const char* bytes = static_cast<const char*>(value);
        m_area.insert(m_area.end(), bytes, bytes + length);
    }
    return *this;
}

MessageEncoder& MessageEncoder::Field(uint32_t tag, const std::string& value) {
    return Field(tag, value.data(), static_cast<uint32_t>(value.size()));
}

MessageEncoder& MessageEncoder::Text(uint32_t tag, const std::string& text) {
    return Field(tag, text.c_str(), static_cast<uint32_t>(text.size() + 1));
}

MessageEncoder& MessageEncoder::Words(uint32_t tag, std::initializer_list<uint32_t> words) {
    std::vector<char> value(words.size() * 4);
    size_t at = 0;
    for (const uint32_t word : words) {
        memcpy(&value[at], &word, 4);
        at += 4;
    }
    return Field(tag, value.data(), static_cast<uint32_t>(value.size()));
}

MessageEncoder& MessageEncoder::Header(uint32_t tag, uint32_t length) {
    const uint32_t words[2] = {m_networkOrder ? htonl(tag) : tag,
                               m_networkOrder ? htonl(length) : length};
    const char* bytes = reinterpret_cast<const char*>(words);
    m_area.insert(m_area.end(), bytes, bytes + sizeof words);
    ++m_count;
    return *this;
}

MessageEncoder& MessageEncoder::Bytes(const std::string& bytes) {
    m_area.insert(m_area.end(), bytes.begin(), bytes.end());
    return *this;
}

GuiMessage MessageEncoder::Message(int64_t sequenceNumber) const {
    GuiMessage message;
    message.sequenceNumber = sequenceNumber;
    message.argumentCount = m_count;
    message.arguments = m_area;
    return message;
}

GuiMessage MakeGuiBrowseMessage(int64_t sequenceNumber, const std::string& server,
                                unsigned long vessaCellId) {
    if (server.size() + 1 + 8 + 16 > MESSAGE_ARG_AREA_SIZE)
        throw std::length_error("server name too long for a browse message");
    return MessageEncoder()
        .Text(TAG_NAS_INTERFACE, server)
        .Words(TAG_VESSACELL_INFO, {0, static_cast<uint32_t>(vessaCellId)})
        .Message(sequenceNumber);
}

void FillMessageInfo(const GuiMessage& message, int replyFd, MessageInfo& info) {
    info.m_socket = CLumSocket(replyFd);
    info.m_message.m_sequenceNumber = message.sequenceNumber;
    info.m_message.m_reserved = 0;
    info.m_message.m_argumentCount = message.argumentCount;
    const size_t used = message.arguments.size() < MESSAGE_ARG_AREA_SIZE ? message.arguments.size()
                                                                         : MESSAGE_ARG_AREA_SIZE;
    if (used != 0) memcpy(info.m_message.m_arguments, message.arguments.data(), used);
    memset(info.m_message.m_arguments + used, 0, MESSAGE_ARG_AREA_SIZE - used);
}
