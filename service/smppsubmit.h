#pragma once

// What an application's submit_sm asks of the gateway, in the messages API's words, or
// the SMPP status that refuses it: functions of their arguments alone.
//
//   submit_sm ── sendOf(account's service number, now) ── ApplicationApi::Send
//                                                      └─ a command_status
//   ApplicationApi::Sent ── statusOf() ── 0 or the refusal's command_status
//   MessageView ── stateOf() / finalDate() ── query_sm_resp's fields
//
// SMPP 3.4 has no status for a balance that does not cover a message:
// ESME_RSUBMITFAIL (0x45) says it, and nothing is charged.

#include "gateway/local/applicationapi.h"
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

} // namespace SmppSubmit
