#pragma once

// SMPP 3.4 PDUs as this gateway sends and reads them, packed and unpacked by libsmpp34.
//
// libsmpp34 keeps its error state in globals: every function here must be called from
// one thread of the process only (the service's link thread; the simulator has one).
//
//   bytes from the socket ── header(): is a whole PDU there? ── decode() ── Pdu
//   Pdu fields ── bind() / submitSm() / deliverSm() / response() / bare() ── bytes

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

#include <optional>

namespace Smpp {

enum class Command : quint32 {
    GenericNack = 0x80000000,
    BindReceiver = 0x00000001,
    BindReceiverResp = 0x80000001,
    BindTransmitter = 0x00000002,
    BindTransmitterResp = 0x80000002,
    QuerySm = 0x00000003,
    QuerySmResp = 0x80000003,
    SubmitSm = 0x00000004,
    SubmitSmResp = 0x80000004,
    DeliverSm = 0x00000005,
    DeliverSmResp = 0x80000005,
    Unbind = 0x00000006,
    UnbindResp = 0x80000006,
    CancelSm = 0x00000008,
    CancelSmResp = 0x80000008,
    BindTransceiver = 0x00000009,
    BindTransceiverResp = 0x80000009,
    EnquireLink = 0x00000015,
    EnquireLinkResp = 0x80000015,
    DataSm = 0x00000103,
    DataSmResp = 0x80000103,
};

// command_status values the link and the SMPP server act on.
namespace Status {
constexpr quint32 Ok = 0x00;
constexpr quint32 InvalidMessageLength = 0x01;
constexpr quint32 InvalidCommandLength = 0x02;
constexpr quint32 InvalidCommandId = 0x03;
constexpr quint32 IncorrectBindStatus = 0x04;
constexpr quint32 AlreadyBound = 0x05;
constexpr quint32 SystemError = 0x08;
constexpr quint32 InvalidSource = 0x0A;
constexpr quint32 InvalidDestination = 0x0B;
constexpr quint32 InvalidMessageId = 0x0C;
constexpr quint32 BindFailed = 0x0D;
constexpr quint32 InvalidPassword = 0x0E;
constexpr quint32 InvalidSystemId = 0x0F;
constexpr quint32 CancelFailed = 0x11;
constexpr quint32 QueueFull = 0x14;
constexpr quint32 InvalidEsmClass = 0x43;
constexpr quint32 SubmitFailed = 0x45;
constexpr quint32 Throttled = 0x58;
constexpr quint32 InvalidScheduleTime = 0x61;
constexpr quint32 InvalidExpiry = 0x62;
constexpr quint32 QueryFailed = 0x67;
constexpr quint32 InvalidParameterLength = 0xC2;
constexpr quint32 InvalidParameterValue = 0xC4;
} // namespace Status

// message_state values (query_sm_resp, and the message_state TLV of a receipt).
namespace State {
constexpr quint8 Enroute = 1;
constexpr quint8 Delivered = 2;
constexpr quint8 Expired = 3;
constexpr quint8 Deleted = 4;
constexpr quint8 Undeliverable = 5;
constexpr quint8 Accepted = 6;
constexpr quint8 Unknown = 7;
constexpr quint8 Rejected = 8;
} // namespace State

// esm_class bits.
constexpr quint8 EsmUdhIndicator = 0x40;
constexpr quint8 EsmTypeMask = 0x3C;
constexpr quint8 EsmDeliveryReceipt = 0x04;

// data_coding values.
constexpr quint8 CodingDefault = 0x00; // GSM 7-bit default alphabet, one septet per octet
constexpr quint8 CodingIa5 = 0x01;
constexpr quint8 CodingLatin1 = 0x03;
constexpr quint8 CodingUcs2 = 0x08;

constexpr int HeaderLength = 16;
// Larger than any PDU this gateway handles (a short message is at most 254 octets, a
// TLV at most 1024 in libsmpp34); a peer announcing more is not speaking SMPP.
constexpr quint32 MaxPduLength = 4096;
// The longest short_message written: libsmpp34 packs at most 253 octets (SMPP allows 254,
// and decode() reads 254).
constexpr int MaxShortMessage = 253;
// The longest message id SMPP allows. decode() hands over a longer one as the SMSC sent
// it: an SMSC that writes more has still taken the message, and says so with its status.
constexpr int MaxMessageId = 64;

struct Header {
    quint32 length = 0;
    quint32 command = 0;
    quint32 status = 0;
    quint32 sequence = 0;
};

// The header at the start of `buffer` when all 16 octets are there; `valid` is false
// when its length lies outside [HeaderLength, MaxPduLength] (the stream is lost then).
struct Peek {
    bool complete = false;
    bool valid = true;
    Header header;
};
Peek header(QByteArrayView buffer);

struct Address {
    quint8 ton = 0;
    quint8 npi = 0;
    QByteArray digits; // at most 20 octets
};
// A phone as the gateway writes it, in SMPP's words: with its + an international number
// (TON 1), anything else as it is; ISDN numbering (NPI 1) either way.
Address addressOf(const QString &phone);

struct BindRequest {
    QByteArray systemId; // at most 15 octets
    QByteArray password; // at most 8 octets
    QByteArray systemType; // at most 12 octets
    Address range;
};

// submit_sm and deliver_sm.
struct ShortMessage {
    QByteArray serviceType;
    Address source;
    Address destination;
    quint8 esmClass = 0;
    quint8 registeredDelivery = 0;
    quint8 dataCoding = 0;
    QByteArray payload; // short_message, with its UDH when esmClass says so
    // submit_sm's times, as SMPP writes them ("YYMMDDhhmmsstnnp"); empty for none.
    QByteArray scheduleDeliveryTime;
    QByteArray validityPeriod;
    // Read from a deliver_sm's TLVs when present; written into a deliver_sm when set.
    QByteArray receiptedMessageId;
    std::optional<quint8> messageState;
    // Read from a submit_sm's or data_sm's TLVs when present.
    std::optional<QByteArray> messagePayload;
    // sar_msg_ref_num, sar_total_segments and sar_segment_seqnum: a part of a text its
    // sender split, numbered without a header.
    std::optional<quint16> sarReference;
    std::optional<quint8> sarTotal;
    std::optional<quint8> sarSequence;
};

struct Pdu {
    Header header;
    // By command: a bind's request, a bind or submit_sm response's id (system_id or
    // message_id: up to its NUL, or the whole body when the NUL is missing; it may be
    // longer than MaxMessageId), a submit_sm, deliver_sm or data_sm (its text in
    // messagePayload, no times); query_sm's and cancel_sm's
    // message_id in `id`, their source address in message.source (cancel_sm's service
    // type and destination too).
    BindRequest bind;
    QByteArray id;
    ShortMessage message;
};

// One whole PDU (header.length octets). nullopt when it cannot be read; a command this
// gateway does not handle decodes to its header alone.
std::optional<Pdu> decode(const QByteArray &pdu);

// Each empty when a field does not fit its PDU.
QByteArray bind(Command command, quint32 sequence, const BindRequest &request);
QByteArray submitSm(quint32 sequence, const ShortMessage &message);
QByteArray deliverSm(quint32 sequence, const ShortMessage &message);
// A bind's, submit_sm's or data_sm's response with its system_id or message_id.
QByteArray response(Command command, quint32 sequence, quint32 status, const QByteArray &id);
// A PDU of a header alone: enquire_link and its response, unbind and its response,
// generic_nack, deliver_sm_resp.
QByteArray bare(Command command, quint32 sequence, quint32 status = Status::Ok);
// query_sm's answer: the message's final date ("YYMMDDhhmmss000+", empty while it is not
// final), its state and the network's error code.
QByteArray querySmResp(quint32 sequence, quint32 status, const QByteArray &id,
                       const QByteArray &finalDate, quint8 state, quint8 errorCode);

} // namespace Smpp
