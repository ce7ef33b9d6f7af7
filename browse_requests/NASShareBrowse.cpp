// The two browse entries the host calls: a network message from the desktop
// GUI, and an XML request from the administrative console.
#include "browse_requests/NASShareBrowse.h"

#include <cstring>  // memcpy, memchr

#include "browse_requests/BrowseSteps.h"  // NormaliseInterfaceName, IsRootPath, ...
#include "host/BrowseMessageFields.h"     // App::REQ_*, App::RESP_*, App::ITEM_*
#include "host/Lookups.h"                 // ORVClient
#include "host/LogWriter.h"               // NSB_LOG
#include "plumbing/MessageWalker.h"       // MessageWalker
#include "plumbing/PluginTexts.h"         // kSig*, kLog*, kMsgNoPath, kDefaultVessaCellId

namespace {

// The values a network browse message carries.
struct NetworkRequest {
    unsigned long vessaCellId = 0;
    unsigned long subclientId = 0;
    std::string interfaceName;
};

uint32_t Word(const char* value, size_t index) {
    uint32_t word;
    memcpy(&word, value + 4 * index, sizeof word);
    return word;
}

// Reads the tagged fields; the last occurrence of a tag wins. Values too
// short for what is read from them are ignored.
NetworkRequest ReadNetworkRequest(MessageInfo& message) {
    NetworkRequest request;
    OrvBuffer scratch(VALUE_SCRATCH_SIZE);
    MessageWalker walker;
    walker.setBuffer(message.m_message.m_arguments, MESSAGE_ARG_AREA_SIZE, scratch,
                     static_cast<unsigned long>(scratch.getSize()),
                     message.m_message.m_argumentCount, false);
    unsigned int tag = 0;
    unsigned int length = 0;
    for (char* value = walker.getFirst(&tag, &length); value != nullptr;
         value = walker.getNext(&tag, &length)) {
        switch (tag) {
        case TAG_SUBCLIENT_ID:
            if (length >= 4) request.subclientId = Word(value, 0);
            break;
        case TAG_VESSACELL_INFO:
            if (length >= 8) request.vessaCellId = Word(value, 1);
            break;
        case TAG_NAS_INTERFACE: {
            const void* nul = memchr(value, '\0', length);
            const size_t size =
                nul ? static_cast<size_t>(static_cast<const char*>(nul) - value) : length;
            request.interfaceName.assign(value, size);
            break;
        }
        default: break;
        }
    }
    if (request.vessaCellId == 0) request.vessaCellId = kDefaultVessaCellId;
    return request;
}

}  // namespace

extern "C" void NASShareBrowse(MessageInfo* message, char* path, unsigned long clientId, int,
                               COrvNetwork* network) {
    if (message == nullptr) {
        NSB_LOG(LOG_ERROR, kSigNASShareBrowse, kLogNullPointers);
        return;
    }
    const long long sequenceNumber = message->m_message.m_sequenceNumber;
    NetworkRequest request = ReadNetworkRequest(*message);
    const std::string userName;
    const unsigned int credentialId = 0;

    NSB_LOG(1, kSigNASShareBrowse, kLogNetworkRequest, path ? path : kLogNullPathValue,
            sequenceNumber, request.vessaCellId, clientId, request.subclientId, userName.c_str(),
            request.interfaceName.c_str(), credentialId);

    std::string interfaceName = request.interfaceName;
    if (interfaceName.empty()) {
        ORVClient client(clientId);
        if (client.getNetworkHostname(interfaceName, nullptr) != 0)
            NSB_LOG(LOG_ERROR, kSigNASShareBrowse, kLogNoHostNameOfClientEntry, clientId);
    }

    EvRestoreReturn reply(sequenceNumber, RETURN_KIND_NAS_BROWSE, true, &message->m_socket,
                          network);
    reply.setSourcePath("");

    if (path == nullptr) {
        // The requester still gets an answer it can show, never silence.
        NSB_LOG(LOG_ERROR, kSigNASShareBrowse, kLogNullPointers);
        std::vector<char> text(kMsgNoPath, kMsgNoPath + sizeof kMsgNoPath);
        reply.returnMessage(text.data());
        reply.end(0);
        return;
    }

    NormaliseInterfaceName(interfaceName);
    if (IsRootPath(path)) {
        reply.returnItem(1, interfaceName.c_str(), 0, 0, 0, 0, 0, 0);
        reply.end(0);
        return;
    }

    const std::string browsePath = BrowsePathBelowServer(path, interfaceName);
    CLumError error = NASNFSSharebrowse(sequenceNumber, request.vessaCellId, clientId,
                                        interfaceName, browsePath, &reply);
    if (error.IsError())
        NSB_LOG(LOG_ERROR, kSigNASShareBrowse, kLogNetworkBrowseFailed, browsePath.c_str(),
                interfaceName.c_str(), error.AsString().c_str());
}

extern "C" void NASShareXMLBrowse(App::MachineBrowseReq* request, App::MachineBrowseResp* response,
                                  App::GenericResp* genericResp) {
    if (request == nullptr || response == nullptr || genericResp == nullptr) {
        NSB_LOG(LOG_ERROR, kSigNASShareXMLBrowse, kLogNullPointers);
        return;
    }
    const unsigned long reqClass = App::CLASS_MACHINE_BROWSE_REQ;
    auto isSet = [&](const App::FieldKey& key) {
        return request->isSet(key.field, reqClass, key.id);
    };
    auto text = [&](const App::FieldKey& key) {
        return request->getstring(key.field, key.secondIndex, reqClass, key.id);
    };
    auto number = [&](const App::FieldKey& key) {
        return request->getint64(key.secondIndex, reqClass, key.id);
    };

    unsigned long clientId = 0;
    unsigned long vessaCellId = 0;
    unsigned long subclientId = 0;
    int32_t credentialId = 0;
    std::string browsePath, interfaceName, userName;

    if (isSet(App::REQ_CLIENT_ID))
        clientId = static_cast<unsigned long>(number(App::REQ_CLIENT_ID));
    if (isSet(App::REQ_INFO)) {
        CNMessageBase** info = request->getObjectAccessor(
            true, false, App::REQ_INFO.field, App::REQ_INFO.secondIndex, reqClass, App::REQ_INFO.id,
            App::REQ_INFO_KIND, App::REQ_INFO_SCHEMA);
        const App::FieldKey& id = App::REQ_INFO_VESSACELL_ID;
        if (info != nullptr && *info != nullptr &&
            (*info)->isSet(id.field, App::CLASS_MACHINE_BROWSE_REQ_INFO, id.id)) {
            // The id travels in the low 32 bits, unsigned.
            vessaCellId = static_cast<uint32_t>(
                (*info)->getint64(id.secondIndex, App::CLASS_MACHINE_BROWSE_REQ_INFO, id.id));
        }
    }
    if (isSet(App::REQ_PATH)) browsePath = text(App::REQ_PATH);
    if (isSet(App::REQ_INTERFACE_NAME)) interfaceName = text(App::REQ_INTERFACE_NAME);
    if (isSet(App::REQ_USER_NAME)) userName = text(App::REQ_USER_NAME);
    if (isSet(App::REQ_CREDENTIAL_ID))
        credentialId = static_cast<int32_t>(number(App::REQ_CREDENTIAL_ID));
    if (isSet(App::REQ_SUBCLIENT_ID))
        subclientId = static_cast<unsigned long>(number(App::REQ_SUBCLIENT_ID));
    if (vessaCellId == 0) vessaCellId = kDefaultVessaCellId;

    NSB_LOG(1, kSigNASShareXMLBrowse, kLogXmlRequest, browsePath.c_str(), vessaCellId, clientId,
            subclientId, userName.c_str(), interfaceName.c_str(),
            static_cast<unsigned int>(credentialId));

    response->setstring(App::RESP_PATH.field, App::RESP_PATH.secondIndex, text(App::REQ_PATH),
                        App::CLASS_MACHINE_BROWSE_RESP, App::RESP_PATH.id);

    void** list = response->getlistobject(App::RESP_ITEMS.field, App::RESP_ITEMS.secondIndex,
                                          App::CLASS_MACHINE_BROWSE_RESP, App::RESP_ITEMS.id, true);
    if (list == nullptr || *list == nullptr) {
        NSB_LOG(LOG_ERROR, kSigNASShareXMLBrowse, kLogNoBrowseItems);
        return;
    }
    auto* items = static_cast<std::vector<App::MachineBrowseItem>*>(*list);

    NormaliseInterfaceName(interfaceName);
    if (IsRootPath(browsePath)) {
        AppendFolderItem(*items, interfaceName);
        return;
    }

    const std::string driverPath = BrowsePathBelowServer(browsePath, interfaceName);
    CLumError error =
        NASNFSShareXMLbrowse(vessaCellId, clientId, interfaceName, driverPath, items, genericResp);
    if (error.IsError())
        NSB_LOG(LOG_ERROR, kSigNASShareXMLBrowse, kLogXmlBrowseFailed, driverPath.c_str(),
                interfaceName.c_str(), error.AsString().c_str());
    NSB_LOG(2, kSigNASShareXMLBrowse, kLogXmlItemCount, items->size());
}
