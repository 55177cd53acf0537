#include "service/link/smpppdu.h"

#include <cstdint>
#include <cstring>

// In this order: each of libsmpp34's headers needs the ones before it.
// clang-format off
extern "C" {
#include <smpp34.h>
#include <smpp34_structs.h>
#include <smpp34_params.h>
}
// clang-format on

// libsmpp34 keeps smpp34_errno and smpp34_strerror in globals, written by every pack and
// unpack: this file is meant for one thread (see the header), and reads neither.

namespace Smpp {

namespace {

// Octets of a C-octet string field, its terminating NUL included.
constexpr int SystemIdField = 16;
constexpr int PasswordField = 9;
constexpr int SystemTypeField = 13;
constexpr int ServiceTypeField = 6;
constexpr int AddressField = 21;
constexpr int TimeField = 17;
constexpr int MessageIdField = 65;
// SMPP's limit, which libsmpp34 reads (it writes one octet less: MaxShortMessage).
constexpr int ReadShortMessage = 254;

constexpr quint16 TagReceiptedMessageId = TLVID_receipted_message_id;
constexpr quint16 TagMessageState = TLVID_message_state;

quint32 readBig32(QByteArrayView bytes, qsizetype at)
{
    quint32 value = 0;
    for (qsizetype i = at; i < at + 4; ++i)
        value = (value << 8) | quint8(bytes.at(i));
    return value;
}

// A value fits a C-octet string field of `field` octets: short enough for its NUL, and
// no NUL of its own (the field would end there, dropping the rest).
bool fitsField(const QByteArray &value, int field)
{
    return value.size() < field && !value.contains('\0');
}

void copyField(uint8_t *field, const QByteArray &value)
{
    // Every caller checked fitsField first; the struct was zeroed, so the NUL is there.
    std::memcpy(field, value.constData(), size_t(value.size()));
}

QByteArray fieldText(const uint8_t *field, size_t size)
{
    const void *end = std::memchr(field, 0, size);
    const size_t length = end ? size_t(static_cast<const uint8_t *>(end) - field) : size;
    return QByteArray(reinterpret_cast<const char *>(field), qsizetype(length));
}

// Frees the TLV lists libsmpp34 allocates (build_tlv when packing, unpack when reading).
struct TlvList {
    tlv_t *head = nullptr;
    TlvList() = default;
    explicit TlvList(tlv_t *list)
        : head(list)
    {
    }
    TlvList(const TlvList &) = delete;
    TlvList &operator=(const TlvList &) = delete;
    ~TlvList()
    {
        if (head)
            destroy_tlv(head);
    }
};

template<typename Struct> QByteArray pack(quint32 command, Struct &pdu)
{
    QByteArray out(qsizetype(MaxPduLength), Qt::Uninitialized);
    int length = 0;
    if (smpp34_pack(command, reinterpret_cast<uint8_t *>(out.data()), int(out.size()), &length,
                    &pdu)
            != 0
        || length < HeaderLength || quint32(length) > MaxPduLength)
        return {};
    out.truncate(length);
    return out;
}

template<typename Struct>
void setHeader(Struct &pdu, quint32 command, quint32 sequence, quint32 status = Status::Ok)
{
    pdu.command_id = command;
    pdu.command_status = status;
    pdu.sequence_number = sequence;
}

// How libsmpp34 reads each optional parameter it knows: a one-, two- or four-octet
// number (the length must say so), or octets up to a size. A parameter it would read
// otherwise than its length says never reaches it.
struct TlvRule {
    quint16 tag;
    int exact; // 0: octets up to `maximum`
    int maximum;
};

constexpr TlvRule SubmitSmTlvs[] = {
    { TLVID_user_message_reference, 2, 0 },
    { TLVID_source_port, 2, 0 },
    { TLVID_source_addr_subunit, 1, 0 },
    { TLVID_destination_port, 2, 0 },
    { TLVID_dest_addr_subunit, 1, 0 },
    { TLVID_sar_msg_ref_num, 2, 0 },
    { TLVID_sar_total_segments, 1, 0 },
    { TLVID_sar_segment_seqnum, 1, 0 },
    { TLVID_more_messages_to_send, 1, 0 },
    { TLVID_payload_type, 1, 0 },
    { TLVID_message_payload, 0, 1024 },
    { TLVID_privacy_indicator, 1, 0 },
    { TLVID_callback_num, 0, 19 },
    { TLVID_callback_num_pres_ind, 1, 0 },
    { TLVID_callback_num_atag, 0, 65 },
    { TLVID_source_subaddress, 0, 23 },
    { TLVID_dest_subaddress, 0, 23 },
    { TLVID_user_response_code, 1, 0 },
    { TLVID_display_time, 1, 0 },
    { TLVID_sms_signal, 2, 0 },
    { TLVID_ms_validity, 1, 0 },
    { TLVID_ms_msg_wait_facilities, 1, 0 },
    { TLVID_number_of_messages, 1, 0 },
    { TLVID_alert_on_message_delivery, 0, 0 },
    { TLVID_language_indicator, 1, 0 },
    { TLVID_its_reply_type, 1, 0 },
    { TLVID_its_session_info, 2, 0 },
    { TLVID_ussd_service_op, 0, 1 },
};

constexpr TlvRule DeliverSmTlvs[] = {
    { TLVID_user_message_reference, 2, 0 },
    { TLVID_source_port, 2, 0 },
    { TLVID_destination_port, 2, 0 },
    { TLVID_sar_msg_ref_num, 2, 0 },
    { TLVID_sar_total_segments, 1, 0 },
    { TLVID_sar_segment_seqnum, 1, 0 },
    { TLVID_user_response_code, 1, 0 },
    { TLVID_privacy_indicator, 1, 0 },
    { TLVID_payload_type, 1, 0 },
    { TLVID_message_payload, 0, 1024 },
    { TLVID_callback_num, 0, 19 },
    { TLVID_source_subaddress, 0, 23 },
    { TLVID_dest_subaddress, 0, 23 },
    { TLVID_language_indicator, 1, 0 },
    { TLVID_its_session_info, 2, 0 },
    { TLVID_network_error_code, 0, 3 },
    { TLVID_message_state, 1, 0 },
    // Longer than SMPP's 65 octets is read too, to be cut as every message id is.
    { TLVID_receipted_message_id, 0, MAX_TLV_SIZE },
    { TLVID_set_dpf, 1, 0 },
    { TLVID_source_network_type, 1, 0 },
};

// data_sm's, as a submit_sm's: the text comes in message_payload.
constexpr TlvRule DataSmTlvs[] = {
    { TLVID_source_port, 2, 0 },           { TLVID_source_addr_subunit, 1, 0 },
    { TLVID_destination_port, 2, 0 },      { TLVID_dest_addr_subunit, 1, 0 },
    { TLVID_sar_msg_ref_num, 2, 0 },       { TLVID_sar_total_segments, 1, 0 },
    { TLVID_sar_segment_seqnum, 1, 0 },    { TLVID_more_messages_to_send, 1, 0 },
    { TLVID_qos_time_to_live, 4, 0 },      { TLVID_payload_type, 1, 0 },
    { TLVID_message_payload, 0, 1024 },    { TLVID_set_dpf, 1, 0 },
    { TLVID_receipted_message_id, 0, 65 }, { TLVID_message_state, 1, 0 },
    { TLVID_network_error_code, 0, 3 },    { TLVID_user_message_reference, 2, 0 },
    { TLVID_privacy_indicator, 1, 0 },     { TLVID_callback_num, 0, 19 },
    { TLVID_source_subaddress, 0, 23 },    { TLVID_dest_subaddress, 0, 23 },
    { TLVID_user_response_code, 1, 0 },    { TLVID_language_indicator, 1, 0 },
    { TLVID_its_reply_type, 1, 0 },        { TLVID_its_session_info, 2, 0 },
};

constexpr TlvRule BindRespTlvs[] = {
    { TLVID_sc_interface_version, 1, 0 },
};

// Walks a PDU's body the way libsmpp34 will, so that only a body it reads without an
// error is handed to it: its reading stops at the first fault without freeing what it
// allocated so far, and a malformed optional parameter could be read past its length.
class BodyCheck {
public:
    explicit BodyCheck(const QByteArray &pdu)
        : m_pdu(pdu)
        , m_at(HeaderLength)
    {
    }

    bool atEnd() const { return m_at == m_pdu.size(); }
    qsizetype position() const { return m_at; }

    // A C-octet string of at most `field` octets, its NUL included.
    bool cString(int field)
    {
        const qsizetype end = m_pdu.indexOf('\0', m_at);
        if (end < 0 || end - m_at >= field)
            return false;
        m_at = end + 1;
        return true;
    }

    bool octets(qsizetype count)
    {
        if (count > m_pdu.size() - m_at)
            return false;
        m_at += count;
        return true;
    }

    bool octet(quint8 *value = nullptr)
    {
        if (m_at >= m_pdu.size())
            return false;
        if (value)
            *value = quint8(m_pdu.at(m_at));
        ++m_at;
        return true;
    }

    // Optional parameters up to the end, each whole and of a length its rule allows.
    template<size_t N> bool tlvs(const TlvRule (&rules)[N], ShortMessage *found = nullptr)
    {
        while (!atEnd()) {
            if (m_pdu.size() - m_at < 4)
                return false;
            const quint16 tag = quint16((quint8(m_pdu.at(m_at)) << 8) | quint8(m_pdu.at(m_at + 1)));
            const int length = (quint8(m_pdu.at(m_at + 2)) << 8) | quint8(m_pdu.at(m_at + 3));
            m_at += 4;
            int exact = 0;
            int maximum = MAX_TLV_SIZE;
            for (const TlvRule &rule : rules) {
                if (rule.tag == tag) {
                    exact = rule.exact;
                    maximum = rule.maximum;
                }
            }
            if (exact ? length != exact : length > maximum)
                return false;
            const qsizetype value = m_at;
            if (!octets(length))
                return false;
            if (found && tag == TagReceiptedMessageId) {
                const QByteArray text = m_pdu.mid(value, length);
                const qsizetype nul = text.indexOf('\0');
                found->receiptedMessageId = nul < 0 ? text : text.left(nul);
            } else if (found && tag == TagMessageState) {
                found->messageState = quint8(m_pdu.at(value));
            } else if (found && tag == TLVID_message_payload) {
                found->messagePayload = m_pdu.mid(value, length);
            } else if (found && tag == TLVID_sar_msg_ref_num) {
                found->sarReference
                    = quint16((quint8(m_pdu.at(value)) << 8) | quint8(m_pdu.at(value + 1)));
            } else if (found && tag == TLVID_sar_total_segments) {
                found->sarTotal = quint8(m_pdu.at(value));
            } else if (found && tag == TLVID_sar_segment_seqnum) {
                found->sarSequence = quint8(m_pdu.at(value));
            }
        }
        return true;
    }

private:
    const QByteArray &m_pdu;
    qsizetype m_at;
};

bool bindRequestReadable(const QByteArray &pdu)
{
    BodyCheck body(pdu);
    return body.cString(SystemIdField) && body.cString(PasswordField)
        && body.cString(SystemTypeField) && body.octets(3) && body.cString(41) && body.atEnd();
}

// The PDU without its optional parameters, for libsmpp34 to read: its reading of them
// is where it fails on what the network may send (a parameter it does not know makes it
// write past its error buffer), and those this gateway needs are read here instead.
QByteArray withoutTlvs(const QByteArray &pdu, qsizetype end)
{
    QByteArray mandatory = pdu.left(end);
    for (int i = 0; i < 4; ++i)
        mandatory[i] = char((quint32(end) >> (24 - 8 * i)) & 0xFF);
    return mandatory;
}

bool bindResponseReadable(const QByteArray &pdu, qsizetype &tlvStart)
{
    BodyCheck body(pdu);
    if (!body.cString(SystemIdField))
        return false;
    tlvStart = body.position();
    return body.tlvs(BindRespTlvs);
}

template<size_t N>
bool shortMessageReadable(const QByteArray &pdu, int timeField, const TlvRule (&rules)[N],
                          qsizetype &tlvStart, ShortMessage &found)
{
    BodyCheck body(pdu);
    quint8 length = 0;
    if (!(body.cString(ServiceTypeField) && body.octets(2) && body.cString(AddressField)
          && body.octets(2) && body.cString(AddressField) && body.octets(3)
          && body.cString(timeField) && body.cString(timeField) && body.octets(4)
          && body.octet(&length) && length <= ReadShortMessage && body.octets(length)))
        return false;
    tlvStart = body.position();
    return body.tlvs(rules, &found);
}

template<typename Struct> bool unpack(quint32 command, Struct &pdu, const QByteArray &bytes)
{
    return smpp34_unpack(command, &pdu, reinterpret_cast<const uint8_t *>(bytes.constData()),
                         int(bytes.size()))
        == 0;
}

template<typename Struct> bool readBindRequest(quint32 command, const QByteArray &bytes, Pdu &out)
{
    Struct pdu {};
    if (!bindRequestReadable(bytes) || !unpack(command, pdu, bytes))
        return false;
    out.bind.systemId = fieldText(pdu.system_id, sizeof pdu.system_id);
    out.bind.password = fieldText(pdu.password, sizeof pdu.password);
    out.bind.systemType = fieldText(pdu.system_type, sizeof pdu.system_type);
    out.bind.range.ton = pdu.addr_ton;
    out.bind.range.npi = pdu.addr_npi;
    out.bind.range.digits = fieldText(pdu.address_range, sizeof pdu.address_range);
    return true;
}

template<typename Struct> bool readBindResponse(quint32 command, const QByteArray &bytes, Pdu &out)
{
    // A refusal often comes as the header alone.
    if (bytes.size() == HeaderLength)
        return true;
    Struct pdu {};
    qsizetype tlvStart = 0;
    if (!bindResponseReadable(bytes, tlvStart))
        return false;
    const bool read = unpack(command, pdu, withoutTlvs(bytes, tlvStart));
    const TlvList tlvs { pdu.tlv };
    if (!read)
        return false;
    out.id = fieldText(pdu.system_id, sizeof pdu.system_id);
    return true;
}

// Read here rather than by libsmpp34, which refuses an id longer than SMPP's field: a
// submit_sm_resp that says the SMSC took the message must never read as a failure, or
// the message would be refunded after the phone got it.
void readSubmitResponse(const QByteArray &bytes, Pdu &out)
{
    const QByteArrayView body = QByteArrayView(bytes).sliced(HeaderLength);
    const qsizetype nul = body.indexOf('\0');
    out.id = (nul < 0 ? body : body.first(nul)).toByteArray();
}

template<typename Struct> void readShortMessage(const Struct &pdu, ShortMessage &out)
{
    out.serviceType = fieldText(pdu.service_type, sizeof pdu.service_type);
    out.source.ton = pdu.source_addr_ton;
    out.source.npi = pdu.source_addr_npi;
    out.source.digits = fieldText(pdu.source_addr, sizeof pdu.source_addr);
    out.destination.ton = pdu.dest_addr_ton;
    out.destination.npi = pdu.dest_addr_npi;
    out.destination.digits = fieldText(pdu.destination_addr, sizeof pdu.destination_addr);
    out.esmClass = pdu.esm_class;
    out.registeredDelivery = pdu.registered_delivery;
    out.dataCoding = pdu.data_coding;
    out.payload = QByteArray(reinterpret_cast<const char *>(pdu.short_message),
                             qMin<qsizetype>(pdu.sm_length, sizeof pdu.short_message));
}

bool readSubmitSm(const QByteArray &bytes, Pdu &out)
{
    submit_sm_t pdu {};
    qsizetype tlvStart = 0;
    ShortMessage found;
    if (!shortMessageReadable(bytes, TimeField, SubmitSmTlvs, tlvStart, found))
        return false;
    const bool read = unpack(SUBMIT_SM, pdu, withoutTlvs(bytes, tlvStart));
    const TlvList tlvs { pdu.tlv };
    if (!read)
        return false;
    readShortMessage(pdu, out.message);
    out.message.scheduleDeliveryTime
        = fieldText(pdu.schedule_delivery_time, sizeof pdu.schedule_delivery_time);
    out.message.validityPeriod = fieldText(pdu.validity_period, sizeof pdu.validity_period);
    out.message.messagePayload = found.messagePayload;
    out.message.sarReference = found.sarReference;
    out.message.sarTotal = found.sarTotal;
    out.message.sarSequence = found.sarSequence;
    return true;
}

// query_sm and cancel_sm, read here: their bodies are a few plain fields.
class FieldReader {
public:
    explicit FieldReader(const QByteArray &pdu)
        : m_pdu(pdu)
        , m_at(HeaderLength)
    {
    }
    bool text(int field, QByteArray &value)
    {
        const qsizetype end = m_pdu.indexOf('\0', m_at);
        if (end < 0 || end - m_at >= field)
            return false;
        value = m_pdu.mid(m_at, end - m_at);
        m_at = end + 1;
        return true;
    }
    bool octet(quint8 &value)
    {
        if (m_at >= m_pdu.size())
            return false;
        value = quint8(m_pdu.at(m_at++));
        return true;
    }
    bool address(Address &address)
    {
        return octet(address.ton) && octet(address.npi) && text(AddressField, address.digits);
    }
    bool atEnd() const { return m_at == m_pdu.size(); }

private:
    const QByteArray &m_pdu;
    qsizetype m_at;
};

bool readQuerySm(const QByteArray &bytes, Pdu &out)
{
    FieldReader body(bytes);
    return body.text(MessageIdField, out.id) && body.address(out.message.source) && body.atEnd();
}

bool readCancelSm(const QByteArray &bytes, Pdu &out)
{
    FieldReader body(bytes);
    return body.text(ServiceTypeField, out.message.serviceType) && body.text(MessageIdField, out.id)
        && body.address(out.message.source) && body.address(out.message.destination)
        && body.atEnd();
}

// Read here: a few plain fields, and its optional parameters as a submit_sm's.
bool readDataSm(const QByteArray &bytes, Pdu &out)
{
    FieldReader fields(bytes);
    ShortMessage &m = out.message;
    if (!(fields.text(ServiceTypeField, m.serviceType) && fields.address(m.source)
          && fields.address(m.destination) && fields.octet(m.esmClass)
          && fields.octet(m.registeredDelivery) && fields.octet(m.dataCoding)))
        return false;
    BodyCheck body(bytes);
    ShortMessage found;
    if (!(body.cString(ServiceTypeField) && body.octets(2) && body.cString(AddressField)
          && body.octets(2) && body.cString(AddressField) && body.octets(3)
          && body.tlvs(DataSmTlvs, &found)))
        return false;
    m.messagePayload = found.messagePayload;
    m.sarReference = found.sarReference;
    m.sarTotal = found.sarTotal;
    m.sarSequence = found.sarSequence;
    return true;
}

bool readDeliverSm(const QByteArray &bytes, Pdu &out)
{
    deliver_sm_t pdu {};
    qsizetype tlvStart = 0;
    ShortMessage found;
    if (!shortMessageReadable(bytes, 1, DeliverSmTlvs, tlvStart, found))
        return false;
    const bool read = unpack(DELIVER_SM, pdu, withoutTlvs(bytes, tlvStart));
    const TlvList tlvs { pdu.tlv };
    if (!read)
        return false;
    readShortMessage(pdu, out.message);
    out.message.receiptedMessageId = found.receiptedMessageId;
    out.message.messageState = found.messageState;
    return true;
}

bool addressFits(const Address &address)
{
    return fitsField(address.digits, AddressField);
}

template<typename Struct> bool fillShortMessage(Struct &pdu, const ShortMessage &message)
{
    if (!fitsField(message.serviceType, ServiceTypeField) || !addressFits(message.source)
        || !addressFits(message.destination) || message.payload.size() > MaxShortMessage)
        return false;
    copyField(pdu.service_type, message.serviceType);
    pdu.source_addr_ton = message.source.ton;
    pdu.source_addr_npi = message.source.npi;
    copyField(pdu.source_addr, message.source.digits);
    pdu.dest_addr_ton = message.destination.ton;
    pdu.dest_addr_npi = message.destination.npi;
    copyField(pdu.destination_addr, message.destination.digits);
    pdu.esm_class = message.esmClass;
    pdu.registered_delivery = message.registeredDelivery;
    pdu.data_coding = message.dataCoding;
    pdu.sm_length = quint8(message.payload.size());
    std::memcpy(pdu.short_message, message.payload.constData(), size_t(message.payload.size()));
    return true;
}

} // namespace

Peek header(QByteArrayView buffer)
{
    Peek peek;
    if (buffer.size() < HeaderLength)
        return peek;
    peek.complete = true;
    peek.header.length = readBig32(buffer, 0);
    peek.header.command = readBig32(buffer, 4);
    peek.header.status = readBig32(buffer, 8);
    peek.header.sequence = readBig32(buffer, 12);
    peek.valid = peek.header.length >= quint32(HeaderLength) && peek.header.length <= MaxPduLength;
    return peek;
}

std::optional<Pdu> decode(const QByteArray &bytes)
{
    const Peek peek = header(bytes);
    if (!peek.complete || !peek.valid || peek.header.length != quint32(bytes.size()))
        return std::nullopt;
    Pdu pdu;
    pdu.header = peek.header;
    bool read = true;
    switch (Command(pdu.header.command)) {
    case Command::BindReceiver:
        read = readBindRequest<bind_receiver_t>(BIND_RECEIVER, bytes, pdu);
        break;
    case Command::BindTransmitter:
        read = readBindRequest<bind_transmitter_t>(BIND_TRANSMITTER, bytes, pdu);
        break;
    case Command::BindTransceiver:
        read = readBindRequest<bind_transceiver_t>(BIND_TRANSCEIVER, bytes, pdu);
        break;
    case Command::BindReceiverResp:
        read = readBindResponse<bind_receiver_resp_t>(BIND_RECEIVER_RESP, bytes, pdu);
        break;
    case Command::BindTransmitterResp:
        read = readBindResponse<bind_transmitter_resp_t>(BIND_TRANSMITTER_RESP, bytes, pdu);
        break;
    case Command::BindTransceiverResp:
        read = readBindResponse<bind_transceiver_resp_t>(BIND_TRANSCEIVER_RESP, bytes, pdu);
        break;
    case Command::SubmitSm:
        read = readSubmitSm(bytes, pdu);
        break;
    case Command::SubmitSmResp:
        readSubmitResponse(bytes, pdu);
        break;
    case Command::DeliverSm:
        read = readDeliverSm(bytes, pdu);
        break;
    case Command::QuerySm:
        read = readQuerySm(bytes, pdu);
        break;
    case Command::CancelSm:
        read = readCancelSm(bytes, pdu);
        break;
    case Command::DataSm:
        read = readDataSm(bytes, pdu);
        break;
    case Command::QuerySmResp:
    case Command::CancelSmResp:
    case Command::DataSmResp:
    case Command::GenericNack:
    case Command::DeliverSmResp:
    case Command::Unbind:
    case Command::UnbindResp:
    case Command::EnquireLink:
    case Command::EnquireLinkResp:
        // Nothing in their bodies matters (deliver_sm_resp's message_id is always empty).
        break;
    }
    if (!read)
        return std::nullopt;
    return pdu;
}

QByteArray bind(Command command, quint32 sequence, const BindRequest &request)
{
    if (!fitsField(request.systemId, SystemIdField) || !fitsField(request.password, PasswordField)
        || !fitsField(request.systemType, SystemTypeField) || !addressFits(request.range))
        return {};
    const auto fill = [&](auto &pdu) {
        setHeader(pdu, quint32(command), sequence);
        copyField(pdu.system_id, request.systemId);
        copyField(pdu.password, request.password);
        copyField(pdu.system_type, request.systemType);
        pdu.interface_version = SMPP_VERSION;
        pdu.addr_ton = request.range.ton;
        pdu.addr_npi = request.range.npi;
        copyField(pdu.address_range, request.range.digits);
        return pack(quint32(command), pdu);
    };
    switch (command) {
    case Command::BindReceiver: {
        bind_receiver_t pdu {};
        return fill(pdu);
    }
    case Command::BindTransmitter: {
        bind_transmitter_t pdu {};
        return fill(pdu);
    }
    case Command::BindTransceiver: {
        bind_transceiver_t pdu {};
        return fill(pdu);
    }
    default:
        return {};
    }
}

QByteArray submitSm(quint32 sequence, const ShortMessage &message)
{
    submit_sm_t pdu {};
    setHeader(pdu, SUBMIT_SM, sequence);
    if (!fillShortMessage(pdu, message) || !fitsField(message.scheduleDeliveryTime, TimeField)
        || !fitsField(message.validityPeriod, TimeField))
        return {};
    copyField(pdu.schedule_delivery_time, message.scheduleDeliveryTime);
    copyField(pdu.validity_period, message.validityPeriod);
    return pack(SUBMIT_SM, pdu);
}

QByteArray deliverSm(quint32 sequence, const ShortMessage &message)
{
    deliver_sm_t pdu {};
    setHeader(pdu, DELIVER_SM, sequence);
    if (!fillShortMessage(pdu, message))
        return {};
    if (!message.receiptedMessageId.isEmpty()
        && !fitsField(message.receiptedMessageId, MessageIdField))
        return {};
    TlvList tlvs;
    if (!message.receiptedMessageId.isEmpty()) {
        tlv_t tlv {};
        tlv.tag = TagReceiptedMessageId;
        tlv.length = quint16(message.receiptedMessageId.size() + 1);
        copyField(tlv.value.octet, message.receiptedMessageId);
        if (build_tlv(&tlvs.head, &tlv) != 0)
            return {};
    }
    if (message.messageState) {
        tlv_t tlv {};
        tlv.tag = TagMessageState;
        tlv.length = 1;
        tlv.value.val08 = *message.messageState;
        if (build_tlv(&tlvs.head, &tlv) != 0)
            return {};
    }
    pdu.tlv = tlvs.head;
    return pack(DELIVER_SM, pdu);
}

QByteArray response(Command command, quint32 sequence, quint32 status, const QByteArray &id)
{
    const auto fill = [&](auto &pdu, int field) {
        if (!fitsField(id, field))
            return QByteArray();
        setHeader(pdu, quint32(command), sequence, status);
        copyField(pdu.system_id, id);
        return pack(quint32(command), pdu);
    };
    switch (command) {
    case Command::BindReceiverResp: {
        bind_receiver_resp_t pdu {};
        return fill(pdu, SystemIdField);
    }
    case Command::BindTransmitterResp: {
        bind_transmitter_resp_t pdu {};
        return fill(pdu, SystemIdField);
    }
    case Command::BindTransceiverResp: {
        bind_transceiver_resp_t pdu {};
        return fill(pdu, SystemIdField);
    }
    case Command::DataSmResp: {
        // The message_id alone: the same body as submit_sm_resp's.
        if (!fitsField(id, MessageIdField))
            return {};
        QByteArray out;
        const auto big32 = [&out](quint32 value) {
            for (int shift = 24; shift >= 0; shift -= 8)
                out.append(char((value >> shift) & 0xFF));
        };
        big32(quint32(HeaderLength + id.size() + 1));
        big32(quint32(command));
        big32(status);
        big32(sequence);
        return out.append(id).append('\0');
    }
    case Command::SubmitSmResp: {
        if (!fitsField(id, MessageIdField))
            return {};
        submit_sm_resp_t pdu {};
        setHeader(pdu, SUBMIT_SM_RESP, sequence, status);
        copyField(pdu.message_id, id);
        return pack(SUBMIT_SM_RESP, pdu);
    }
    default:
        return {};
    }
}

QByteArray bare(Command command, quint32 sequence, quint32 status)
{
    const auto fill = [&](auto &pdu) {
        setHeader(pdu, quint32(command), sequence, status);
        return pack(quint32(command), pdu);
    };
    switch (command) {
    case Command::GenericNack: {
        generic_nack_t pdu {};
        return fill(pdu);
    }
    case Command::EnquireLink: {
        enquire_link_t pdu {};
        return fill(pdu);
    }
    case Command::EnquireLinkResp: {
        enquire_link_resp_t pdu {};
        return fill(pdu);
    }
    case Command::Unbind: {
        unbind_t pdu {};
        return fill(pdu);
    }
    case Command::UnbindResp: {
        unbind_resp_t pdu {};
        return fill(pdu);
    }
    case Command::DeliverSmResp: {
        deliver_sm_resp_t pdu {};
        return fill(pdu);
    }
    case Command::CancelSmResp: {
        cancel_sm_resp_t pdu {};
        return fill(pdu);
    }
    default:
        return {};
    }
}

QByteArray querySmResp(quint32 sequence, quint32 status, const QByteArray &id,
                       const QByteArray &finalDate, quint8 state, quint8 errorCode)
{
    if (!fitsField(id, MessageIdField) || !fitsField(finalDate, TimeField))
        return {};
    QByteArray out;
    const auto big32 = [&out](quint32 value) {
        for (int shift = 24; shift >= 0; shift -= 8)
            out.append(char((value >> shift) & 0xFF));
    };
    const quint32 length = quint32(HeaderLength + id.size() + 1 + finalDate.size() + 1 + 2);
    big32(length);
    big32(quint32(Command::QuerySmResp));
    big32(status);
    big32(sequence);
    out.append(id).append('\0').append(finalDate).append('\0');
    out.append(char(state)).append(char(errorCode));
    return out;
}

Address addressOf(const QString &phone)
{
    Address address;
    address.npi = 1;
    if (phone.startsWith(u'+')) {
        address.ton = 1;
        address.digits = phone.mid(1).toLatin1();
    } else {
        address.digits = phone.toLatin1();
    }
    return address;
}

} // namespace Smpp
