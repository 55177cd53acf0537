#pragma once

// What the link's PDUs mean in the gateway's words, and the PDUs its messages become:
// functions of their arguments alone.
//
//   deliver_sm ───────────── deliveryOf() ── a receipt (its message id and state) or an
//                                             arrival (its text, parts, digest)
//   LinkStore::Outgoing ──── partsOf() ───── the submit_sm of each part
//   submit_sm's answer ───── answerOf() ──── taken (its id) | try later | refused

#include "gateway/linkstore.h"
#include "service/link/smpppdu.h"

#include <QList>
#include <QString>

namespace SmppMapping {

// A deliver_sm in the store's words: a delivery receipt when its esm_class says so
// (its id from receipted_message_id, else its text; its state from message_state, else
// its text's stat), otherwise a message from a phone.
LinkStore::Delivery deliveryOf(const Smpp::ShortMessage &message);

// The submit_sm of each part of `message`, from the link's `sourceTon` and `sourceNpi`,
// with its validity as an absolute time; none for a text of more parts than a
// concatenation header can number. A message that is a part its application made goes
// as that one part with the concatenation it came with.
QList<Smpp::ShortMessage> partsOf(const LinkStore::Outgoing &message, quint8 sourceTon,
                                  quint8 sourceNpi);

// What the SMSC said to a submit_sm: it took the part (with its id, as the gateway keeps
// it), it asks for the part later (throttling, a full queue), or it refused it for good
// (with a status that is never Ok).
struct SubmitAnswer {
    enum class Kind { Taken, Later, Refused };
    Kind kind = Kind::Refused;
    QString smscId;
    quint32 status = 0;
};
SubmitAnswer answerOf(const Smpp::Pdu &answer);

} // namespace SmppMapping
