#include "nasbrowse/GuiMessage.h"

#include <cstring>
#include <stdexcept>

#include "browse_requests/NASShareBrowse.h"  // TAG_NAS_INTERFACE, TAG_VESSACELL_INFO

namespace nasbrowse {
namespace {

void AppendField(std::vector<char>& area, uint32_t tag, const void* value, uint32_t length) {
    const size_t at = area.size();
    area.resize(at + 8 + length);
    memcpy(&area[at], &tag, 4);
    memcpy(&area[at + 4], &length, 4);
    if (length != 0) memcpy(&area[at + 8], value, length);
}

}  // namespace

GuiMessage MakeGuiBrowseMessage(int64_t sequenceNumber, const std::string& server,
                                unsigned long vessaCellId) {
    if (server.size() + 1 + 8 + 16 > MESSAGE_ARG_AREA_SIZE)
        throw std::length_error("server name too long for a browse message");
    GuiMessage message;
    message.sequenceNumber = sequenceNumber;
    AppendField(message.arguments, TAG_NAS_INTERFACE, server.c_str(),
                static_cast<uint32_t>(server.size() + 1));
    const uint32_t record[2] = {0, static_cast<uint32_t>(vessaCellId)};
    AppendField(message.arguments, TAG_VESSACELL_INFO, record, sizeof record);
    message.argumentCount = 2;
    return message;
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

std::string GuiRequestPath(const std::string& server, const std::string& path, bool raw) {
    if (raw) return path;
    if (path.empty() || path == "/") return "/" + server;
    return "/" + server + (path[0] == '/' ? "" : "/") + path;
}

}  // namespace nasbrowse
