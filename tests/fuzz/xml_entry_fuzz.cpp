// Request XML text read and handed to the XML entry NASShareXMLBrowse over
// the scripted fake NFS client library. The response and the failure written
// back as XML must read again to what was written.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "browse_requests/NASShareBrowse.h"
#include "host_framework/MessageXml.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nsbfuzz::SetUpOnce();
    const std::string text(reinterpret_cast<const char*>(data), size);
    App::MachineBrowseReq request;
    std::string error;
    if (!MessageXml::ReadMachineBrowseReq(text, request, error)) {
        nsbfuzz::Check(!error.empty());
        return 0;
    }
    App::MachineBrowseResp response;
    App::GenericResp generic;
    NASShareXMLBrowse(&request, &response, &generic);

    const std::string responseXml = MessageXml::WriteMachineBrowseResp(response);
    App::MachineBrowseResp again;
    nsbfuzz::Check(MessageXml::ReadMachineBrowseResp(responseXml, again, error));
    nsbfuzz::Check(MessageXml::WriteMachineBrowseResp(again) == responseXml);
    const std::string genericXml = MessageXml::WriteGenericResp(generic);
    App::GenericResp genericAgain;
    nsbfuzz::Check(MessageXml::ReadGenericResp(genericXml, genericAgain, error));
    nsbfuzz::Check(MessageXml::WriteGenericResp(genericAgain) == genericXml);
    // The request itself survives a write and a read.
    const std::string requestXml = MessageXml::WriteMachineBrowseReq(request);
    App::MachineBrowseReq requestAgain;
    nsbfuzz::Check(MessageXml::ReadMachineBrowseReq(requestXml, requestAgain, error));
    nsbfuzz::Check(MessageXml::WriteMachineBrowseReq(requestAgain) == requestXml);
    return 0;
}
