#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// Every fixed text of the operator tool, in one place: its command words and option
// names, its help, its errors and its listings. Fixed texts are constants; texts that
// quote a value are functions.
namespace ToolTexts {
using namespace Qt::StringLiterals;

// The command words and option names the operator types.
inline const QString CardWord = u"card"_s;
inline const QString IssueWord = u"issue"_s;
inline const QString MoWord = u"mo"_s;
inline const QString HandsetWord = u"handset"_s;
inline const QString AccountsWord = u"accounts"_s;
inline const QString MessagesWord = u"messages"_s;
inline const QString LinksWord = u"links"_s;
inline const QString UnmatchedWord = u"unmatched"_s;
inline const QString ClearWord = u"clear"_s;
inline const QString CallbacksWord = u"callbacks"_s;
inline const QString ReplayWord = u"replay"_s;
inline const QString TokenWord = u"token"_s;
inline const QString RevokeWord = u"revoke"_s;
inline const QString ListWord = u"list"_s;
inline const QString SmppWord = u"smpp"_s;
inline const QString SetWord = u"set"_s;
inline const QString BindsWord = u"binds"_s;
inline const QString InitWord = u"init"_s;
inline const QString BackupWord = u"backup"_s;

inline const QString StoreOption = u"store"_s;
inline const QString ServerOption = u"server"_s;
inline const QString TokenFileOption = u"token-file"_s;
inline const QString CaFileOption = u"ca-file"_s;
inline const QString ValueOption = u"value"_s;
inline const QString CountOption = u"count"_s;
inline const QString FromOption = u"from"_s;
inline const QString ToOption = u"to"_s;
inline const QString ExtOption = u"ext"_s;
inline const QString AccountOption = u"account"_s;
inline const QString StateOption = u"state"_s;
inline const QString SinceOption = u"since"_s;
inline const QString ThroughOption = u"through"_s;
inline const QString DeadOption = u"dead"_s;
inline const QString AllOption = u"all"_s;
inline const QString NameOption = u"name"_s;
inline const QString RoleOption = u"role"_s;
inline const QString SystemIdOption = u"system-id"_s;
inline const QString HelpOption = u"help"_s;
inline const QString HelpShortOption = u"h"_s;
inline const QString VersionOption = u"version"_s;

inline const QString StoreValueName = u"path"_s;
inline const QString ServerValueName = u"url"_s;
inline const QString FileValueName = u"file"_s;
inline const QString ValueValueName = u"yuan"_s;
inline const QString CountValueName = u"n"_s;
inline const QString FromValueName = u"phone"_s;
inline const QString ToValueName = u"account"_s;
inline const QString ExtValueName = u"code"_s;
inline const QString AccountValueName = u"account"_s;
inline const QString StateValueName = u"state"_s;
inline const QString SinceValueName = u"time"_s;
inline const QString ThroughValueName = u"id"_s;
inline const QString NameValueName = u"name"_s;
inline const QString RoleValueName = u"role"_s;

// The roles of the service's tokens, as quillet-gatewayd names them.
inline const QString ConsoleRole = u"console"_s;
inline const QString OperatorRole = u"operator"_s;
inline const QString ApplicationRole = u"application"_s;
inline const QString SystemIdValueName = u"id"_s;

inline const QString Help
    = u"用法：quillet-gateway [--store 路径或地址] 命令 [选项]\n"
      u"      quillet-gateway --server 网址 --token-file 文件 [--ca-file 文件] 命令 [选项]\n"
      u"\n"
      u"本地短信网关的运营工具。默认使用组件设置（环境变量 QUILLET_GATEWAY_STORE，"
      u"或设置文件夹下 quillet-gateway/gateway.conf 的 store 项）指定的存储；"
      u"都没有时使用当前用户的存储文件"
      u"（用户数据文件夹下的 quillet-gateway/gateway.sqlite3）。给出 --server 时，"
      u"通过网关服务 quillet-gatewayd 完成同样的命令（init 除外）。\n"
      u"\n"
      u"命令：\n"
      u"  card issue --value 元 [--count 张数]\n"
      u"      发行充值卡，打印卡号、密码和面值。面值最多两位小数，张数 1 到 100，默认 1。\n"
      u"  mo --from 手机号 --to 帐户 [--ext 扩展码] [--count 条数] 短信内容\n"
      u"      模拟手机向帐户的特服号发送一条短信。帐户可写注册号码或特服号；\n"
      u"      内容以 - 开头时，在它前面写 --。给出 --count 时，同一条短信到达这么多次\n"
      u"      （1 到 1000000，分批提交；转发和自动回复对每一条照常进行并扣费），\n"
      u"      最后打印汇总。\n"
      u"  handset 手机号\n"
      u"      列出该手机收到的短信。\n"
      u"  accounts\n"
      u"      列出所有帐户（不显示密码）。\n"
      u"  messages [--account 帐户] [--state 状态] [--since 时间]\n"
      u"      列出发往手机的短信，按提交时间先后：编号、提交时间、帐户、手机、状态、\n"
      u"      线路（- 为模拟手机）、各分段的短信中心编号、尝试次数、原因、内容。\n"
      u"      状态为 scheduled、queued、submitted、delivered、undeliverable、expired、\n"
      u"      rejected、not_sent 之一；时间写作 ISO 8601（如 2026-03-01T08:00:00Z，\n"
      u"      不带时区时为本地时间）或 yyyy/M/d H:mm:ss（本地时间），只列出此后提交的。\n"
      u"  links\n"
      u"      列出各服务进程报告的每条短信中心线路的状态。\n"
      u"  unmatched\n"
      u"      列出线路收到、却对应不上的记录，按收到的先后：状态报告（receipt，没有这个\n"
      u"      短信中心编号）、短信（arrival，没有这个帐户）、始终没有收齐的长短信分段\n"
      u"      （part）、短信中心没有给出编号或把编号给了另一条短信的提交（answer）。\n"
      u"      线路自动删除保存期（默认 30 天）以前的记录。\n"
      u"  unmatched clear --through 编号\n"
      u"      删除编号不大于该编号的对应不上的记录（编号是 unmatched 列表的第一列），\n"
      u"      此后收到的不受影响；打印删除的条数。\n"
      u"  callbacks [--dead]\n"
      u"      列出尚未送达应用回调地址的事件（--dead：只列出重试 24 小时后放弃的），\n"
      u"      按产生的先后：编号、时间、帐户、类别、短信编号、状态、投递、尝试次数、\n"
      u"      最近的错误、回调地址。\n"
      u"  callbacks replay 编号|--all\n"
      u"      重新发送这个事件（--all：所有放弃了的），正在发送的除外；打印条数。\n"
      u"  token issue --role application --account 帐户 --name 名称\n"
      u"      （只能与 --server 同用）在网关服务上为该帐户发行一个应用令牌，\n"
      u"      令牌只在标准输出上显示这一次，与 quillet-gatewayd token issue 的输出相同。\n"
      u"      通过网络只能发行 application 角色的令牌：console 和 operator 令牌\n"
      u"      请在服务所在的主机上用 quillet-gatewayd --config 文件 token issue 发行，\n"
      u"      这样一个泄露的运营令牌不能再发行新的运营令牌。名称 1 到 64 个可打印字符。\n"
      u"  token revoke --name 名称\n"
      u"      （只能与 --server 同用）吊销这个名称的应用令牌；其他角色的令牌不受影响。\n"
      u"  token list\n"
      u"      （只能与 --server 同用）列出网关服务的所有令牌（不显示令牌本身），\n"
      u"      与 quillet-gatewayd token list 相同：名称、角色、帐户（- 为无）、\n"
      u"      发行时间，以及 active 或 revoked 和吊销时间。\n"
      u"  smpp set --account 帐户 [--system-id 标识]\n"
      u"      为帐户建立 SMPP 登录凭据：系统标识（1 到 15 个可打印的 ASCII 字符，\n"
      u"      默认为去掉减号的帐户号码）和新的 8 位随机密码，只打印这一次；存储只保存\n"
      u"      密码的慢哈希。帐户原有的凭据和用它们绑定的连接随之结束。\n"
      u"  smpp revoke --account 帐户\n"
      u"      撤销帐户的 SMPP 凭据，并结束各服务进程中用它们绑定的连接。\n"
      u"  smpp binds\n"
      u"      列出各服务进程中的 SMPP 绑定：编号、帐户、系统标识、方式、应用的地址、\n"
      u"      绑定时间、已提交、已送出的状态报告和上行短信、进程。\n"
      u"  init\n"
      u"      建立存储或升级到本程序的版本。PostgreSQL 上须以存储模式的所有者运行，\n"
      u"      并建立角色 quillet_gateway（NOLOGIN），授予网关运行所需的最小权限。\n"
      u"  backup 文件\n"
      u"      把 SQLite 存储的一份一致的副本写入这个新文件（文件须尚不存在，权限 0600），\n"
      u"      控制台和服务可以照常写入。存储不会被建立或升级。PostgreSQL 上请用 pg_dump。\n"
      u"\n"
      u"选项：\n"
      u"  --store 路径   使用另一个存储文件（所在的文件夹须已存在），或一个存储地址：\n"
      u"                 sqlite:路径，或 postgresql://用户@主机:端口/数据库?sslmode=...\n"
      u"                 地址中不能写密码，请用 libpq 的密码文件或服务文件（service=名称）\n"
      u"  --server 网址  通过该网关服务工作（如 http://127.0.0.1:8440），不能与 --store 同用\n"
      u"  --token-file 文件\n"
      u"                 运营令牌所在的文件，只能由其所有者读写；与 --server 一同给出\n"
      u"  --ca-file 文件 信任该证书文件（PEM）签发的服务证书；默认信任系统的证书\n"
      u"  -h, --help     显示本帮助\n"
      u"  --version      显示版本\n"
      u"每个选项只能给一次；长选项以两个减号开头。\n"
      u"\n"
      u"列表中的时间为 UTC，写作 ISO 8601（如 2026-03-01T08:00:00Z），"
      u"handset 除外（本地时间）；没有的值显示为 -。\n"
      u"列表中，存储里的制表符、换行等控制字符显示为 \\t、\\n、\\x1b、\\u202e 这样的转义，\n"
      u"反斜杠显示为 \\\\，每条记录总占一行。\n"
      u"\n"
      u"通过服务发行充值卡时，服务先提交这些卡再返回清单；清单若无法写出，\n"
      u"这些卡已经发行，但它们的卡号和密码不再能从本工具得到。"
      u"本地存储则只在清单写出后才提交。\n"
      u"通过服务时，每个改变数据的请求带一个幂等键，失败后只用同一个键重试，不会重复生效。\n"
      u"\n"
      u"退出码：0 成功，1 失败（包括输出无法写出），2 用法错误。\n"_s;
inline const QString UsageHint = u"用 quillet-gateway --help 查看用法。"_s;

// Usage errors.
inline const QString NoCommand = u"没有给出命令。"_s;
inline const QString NoStorePath = u"--store 需要一个路径"_s;
inline const QString BadText = u"短信内容无效：不能为空，也不能超过 255 条短信的长度"_s;
// What missingArgument() names.
inline const QString IssueSubcommand = u"子命令 issue"_s;
inline const QString MessageText = u"短信内容"_s;
inline const QString Phone = u"手机号"_s;
inline const QString BackupFile = u"备份文件"_s;
inline const QString TokenSubcommand = u"子命令 issue、revoke 或 list"_s;

QString unknownCommand(const QString &command);
QString unknownOptions(const QStringList &names);
// "-store": an option word written with one dash.
QString singleDashOption(const QString &argument);
QString repeatedOption(const QString &option);
QString badOptionUse(const QString &detail);
QString optionNotForCommand(const QString &option, const QString &command);
QString missingOption(const QString &option);
QString extraArguments(const QStringList &arguments);
QString missingArgument(const QString &what);
// `position` counts from 1, the program name not included.
QString notUtf8(qsizetype position);
QString badValue(const QString &text, const QString &maxYuan);
QString badCount(const QString &text, qint64 max);
QString badArrivalCount(const QString &text, qint64 max);
QString badPhone(const QString &text);
QString badExtension(const QString &text);
QString badAccount(const QString &text);
QString badState(const QString &text, const QStringList &states);
QString badTime(const QString &text);
QString badEntryId(const QString &text);
QString storePathIsFolder(const QString &path);
QString optionsExclusive(const QString &option, const QString &other);
QString optionNeeds(const QString &option, const QString &needed);
QString emptyOptionValue(const QString &option);
QString storeFolderMissing(const QString &folder);
QString storeReady(const QString &store);
// "quillet-gateway 1.00".
QString version();
QString unknownAccount(const QString &to);

// Failures.
// A failure the store reports, as the tool shows it.
QString failure(const QString &description);
QString outputFailed(const QString &why);
QString cardsNotIssued(const QString &why);
// Through the service the cards are committed before their listing is written.
QString cardsIssuedNotShown(const QString &why);
inline const QString EmptyToken = u"令牌文件是空的"_s;
QString malformedAnswer(const QString &server);
// `mo --count` through the service: a later arrival was refused after `arrived` arrived.
QString arrivalsRefusedPartWay(qint64 arrived);
// The backup: what was copied where, and why it was not (the failures as a Status's
// description, which failure() shows).
QString backedUp(const QString &store, const QString &file);
QString backupFailed(const QString &file, const QString &why);
QString backupExists(const QString &file);
QString noStoreToBackUp(const QString &store);
QString backupNeedsPgDump(const QString &store);
// After the listing was shown, the store could not commit the cards.
inline const QString ShownCardsVoid = u"充值卡没有发行：上面列出的卡号和密码都无效。"_s;

// Listings and reports.
inline const QString CardHeader = u"卡号\t密码\t面值（元）"_s;
QString cardLine(const QString &number, const QString &password, const QString &yuan);
QString cardsIssued(qsizetype count);

QString moArrived(const QString &accountNo, const QString &serviceNumber);
QString forwardDelivered(const QString &phone);
QString forwardNotSentBalance(const QString &phone);
QString forwardNotSentTooLong(const QString &phone);
QString replyDelivered(const QString &phone);
QString replyNotSentBalance(const QString &phone);
QString replyNotSentTooLong(const QString &phone);
// The summary of `mo --count`.
QString moArrivedMany(qint64 count, const QString &accountNo, const QString &serviceNumber);
QString forwardSummary(const QString &phone, qint64 delivered, qint64 notSent);
QString replySummary(const QString &phone, qint64 delivered, qint64 notSent);

// The time a handset received a message, as the handset listing shows it.
inline const QString HandsetTimeFormat = u"yyyy-MM-dd HH:mm:ss"_s;
QString handsetEmpty(const QString &phone);
QString handsetHeader(const QString &phone, qsizetype count);
QString handsetLine(const QString &time, const QString &from, const QString &text);

inline const QString NoAccounts = u"还没有帐户。"_s;
inline const QString AccountsHeader
    = u"帐户\t特服号\t手机\t余额（元）\t状态\t转发到\t自动回复\t待接收短信"_s;
inline const QString NoValue = u"（无）"_s;
inline const QString SignedOn = u"已登录"_s;
inline const QString SignedOff = u"已注销"_s;
QString accountLine(const QString &number, const QString &serviceNumber, const QString &mobile,
                    const QString &yuan, bool signedOn, const QString &forwarding,
                    const QString &autoReply, qint64 waiting);

// Times in the listings of messages, links and unmatched entries: ISO 8601 in UTC.
QString listingTime(qint64 msSinceEpoch);
// A value a listing's entry does not have.
inline const QString NoEntry = u"-"_s;

inline const QString NoMessages = u"没有符合条件的短信。"_s;
QString messagesHeader(qint64 count);
QString messageLine(qint64 id, qint64 submittedAtMs, const QString &accountNo, const QString &phone,
                    const QString &state, const QString &link, const QStringList &smscIds,
                    int tries, const QString &reason, const QString &text);

inline const QString NoLinks = u"还没有线路报告过状态。"_s;
inline const QString LinksHeader
    = u"线路\t状态\t顶替线路\t绑定时间\t待确认\t已发送\t已接收\t进程\t更新时间\t最近错误"_s;
QString linkLine(const QString &link, const QString &state, const QString &standingIn,
                 std::optional<qint64> boundSinceMs, qint64 outstanding, qint64 sent,
                 qint64 received, const QString &process, qint64 updatedAtMs,
                 const QString &lastError);

inline const QString NoUnmatched = u"没有对应不上的状态报告或短信。"_s;
inline const QString UnmatchedHeader
    = u"编号\t时间\t线路\t类别\t来源\t目的\t短信中心编号\t状态\t内容"_s;
QString unmatchedLine(qint64 id, qint64 atMs, const QString &link, const QString &kind,
                      const QString &source, const QString &destination, const QString &smscId,
                      const QString &state, const QString &text);
QString unmatchedCleared(qint64 count);

inline const QString NoCallbackEvents = u"没有尚未送达的回调事件。"_s;
inline const QString CallbackEventsHeader
    = u"编号\t时间\t帐户\t类别\t短信编号\t状态\t投递\t尝试次数\t最近的错误\t回调地址"_s;
QString callbackEventLine(qint64 id, qint64 atMs, const QString &accountNo, const QString &type,
                          qint64 subject, const QString &state, const QString &delivery,
                          qint64 attempts, const QString &lastError, const QString &url);
QString callbacksReplayed(qint64 count);

inline const QString SmppCredentialsHeader = u"系统标识\t密码"_s;
QString smppCredentialsLine(const QString &systemId, const QString &password);
QString smppSystemIdTaken(const QString &systemId);
QString smppNothingToRevoke(const QString &accountNo);
QString smppRevoked(const QString &accountNo);
QString smppNeedsWord();
QString badSystemId(const QString &systemId);
inline const QString NoSmppBinds = u"没有 SMPP 绑定。"_s;
inline const QString SmppBindsHeader
    = u"编号\t帐户\t系统标识\t方式\t地址\t绑定时间\t已提交\t状态报告\t上行短信\t进程"_s;
QString smppBindLine(qint64 id, const QString &accountNo, const QString &systemId,
                     const QString &mode, const QString &address, qint64 sinceMs, qint64 submitted,
                     qint64 receipts, qint64 arrivals, const QString &process);
QString replayNeedsOne();

// The service's tokens.
QString tokensNeedServer();
QString badTokenName();
QString badRole();
QString applicationNeedsAccount();
QString accountOnlyForApplication();
// On standard error before the token itself, as quillet-gatewayd writes it.
QString tokenIssued(const QString &name, const QString &role);
QString tokenRevoked(const QString &name);
QString tokenNameTaken(const QString &name);
QString noSuchToken(const QString &name);
QString noSuchTokenAccount(const QString &accountNo);
QString roleNotRemote(const QString &role);
QString notAnApplicationToken(const QString &name);
// One token of `token list`, as quillet-gatewayd's list writes it: name, role, account
// (- for none), issued, then "active" or "revoked" with the time.
QString tokenLine(const QString &name, const QString &role, const QString &accountNo,
                  qint64 issuedAtMs, std::optional<qint64> revokedAtMs);

} // namespace ToolTexts
