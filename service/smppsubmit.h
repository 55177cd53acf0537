#pragma once

// What an application's submit_sm asks of the gateway, in the messages API's words, or
// the SMPP status that refuses it: functions of their arguments alone.
//
//   submit_sm ── sendOf(account's service number, now) ── ApplicationApi::Send
//                                                      └─ a command_status
//   ApplicationApi::Sent ── statusOf() ── 0 or the refusal's command_status
//   MessageView ── stateOf() / finalDate() ── query_sm_resp's fields
//   Outbox::SmppEvent ── receiptOf() / arrivalOf() ── the deliver_sm a receiver is sent
//
// SMPP 3.4 has no status for a balance that does not cover a message:
// ESME_RSUBMITFAIL (0x45) says it, and nothing is charged.

#include "gateway/local/applicationapi.h"
#include "gateway/local/outbox.h"
#include "service/link/smpppdu.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <variant>

namespace SmppSubmit {

// An SMPP time: absolute ("YYMMDDhhmmsstnn+" or "-") or relative ("YYMMDDhhmmss000R",
// from `nowMs`), in ms since the epoch; nullopt for a text that is neither. The empty
// text is no time at all and is not handed here.
std::optional<qint64> timeOf(const QByteArray &text, qint64 nowMs);

// The phone a destination address names: its digits, with a + for an international
// number (TON 1); empty when that is no phone.
QString phoneOf(const Smpp::Address &address);

// A send for the account, or the command_status that refuses the submit_sm.
std::variant<ApplicationApi::Send, quint32> sendOf(const Smpp::ShortMessage &message,
                                                   const QString &serviceNumber, qint64 nowMs);

// 0 when it was sent, else why not.
quint32 statusOf(const ApplicationApi::Sent &sent);

// query_sm_resp's message_state of a message, and its final date (empty while it is not
// final) in SMPP's absolute form.
quint8 stateOf(const MessageView &message);
QByteArray finalDate(const MessageView &message);
// The same for a state's name (ENROUTE for one that is not final).
quint8 stateNamed(const QString &state);

// A receipt's deliver_sm: from the message's phone to the account's service number,
// esm_class 0x04, receipted_message_id and message_state, and the conventional text
// "id:ID sub:001 dlvrd:001 submit date:YYMMDDhhmm done date:YYMMDDhhmm stat:DELIVRD
// err:000 text:..." in UTC, its text the message's first 20 characters. Latin-1 (data_coding
// 3) when it can be, else UCS-2 with as much of those 20 as fits.
Smpp::ShortMessage receiptOf(const Outbox::SmppEvent &event);
// The text alone.
QString receiptText(const Outbox::SmppEvent &event);
// An arrival's deliver_sm, a part each, as the link would have sent it; none for a text
// too long to be numbered in parts.
QList<Smpp::ShortMessage> arrivalOf(const Outbox::SmppEvent &event);

} // namespace SmppSubmit
