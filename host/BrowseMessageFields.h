// The fields of the NAS browse messages: the tags of a network browse
// message, and the field numbers, second indexes and field identifiers of
// the XML messages (their class identifiers are in host/MessageBase.h).
#pragma once

// Tags of the fields of a network browse message: the argument area of a
// ReceivedMessage (host/Message.h), read by plumbing/MessageWalker.h and
// written by plumbing/MessageEncoder.h.
enum : unsigned int {
    TAG_VESSACELL_INFO = 2320,  // record; bytes 4..7: the VessaCell id
    TAG_NAS_INTERFACE = 9816,   // text: the NAS file server's name
    TAG_SUBCLIENT_ID = 9821,    // bytes 0..3: the subclient id
};

namespace App {

// A field as the accessors name it.
struct FieldKey {
    short field;
    short secondIndex;
    unsigned int id;
};

// MachineBrowseItem
constexpr FieldKey ITEM_FOLDER = {1, 1, 0x28DAD6};
constexpr FieldKey ITEM_MODIFY_TIME = {2, 2, 0xA710C2};
constexpr FieldKey ITEM_SIZE = {3, 3, 0x282B9D};
constexpr FieldKey ITEM_NAME = {5, 5, 0x337A8B};

// MachineBrowseReq
constexpr FieldKey REQ_INFO = {1, 1, 0x647F8E};
constexpr FieldKey REQ_PATH = {2, 2, 0x346425};
constexpr FieldKey REQ_USER_NAME = {7, 10, 0x1AFCF6};
constexpr FieldKey REQ_PASSWORD = {8, 14, 0x89BA9B};
constexpr FieldKey REQ_INTERFACE_NAME = {10, 16, 0xC000FE};
constexpr FieldKey REQ_CLIENT_ID = {11, 20, 0xD62386};
constexpr FieldKey REQ_SUBCLIENT_ID = {12, 21, 0x636B38};
constexpr FieldKey REQ_CREDENTIAL_ID = {13, 22, 0x35760};
// The nested record in REQ_INFO
constexpr FieldKey REQ_INFO_VESSACELL_ID = {6, 18, 0x10E449};
constexpr int REQ_INFO_KIND = 18;
constexpr int REQ_INFO_SCHEMA = 4;

// MachineBrowseResp
constexpr FieldKey RESP_PATH = {1, 1, 0x346425};
constexpr FieldKey RESP_ITEMS = {2, 5, 0x99D756};

// GenericResp
constexpr FieldKey GENERIC_ERROR_CODE = {1, 1, 0x9CB015};
constexpr FieldKey GENERIC_MESSAGE = {2, 2, 0xB7ECDF};

}  // namespace App
