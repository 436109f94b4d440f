#include "bridge/NoDeviceText.h"

#include "bridge/BoxText.h"

namespace lintaro {

namespace {

// A box line, not a dump: a flood of text shows its start and its size.
constexpr qsizetype kShownReplyBytes = 80;

}  // namespace

QString ShownBytes(const QByteArray& bytes, qsizetype limit) {
    QString text;
    for (const char byte : bytes.left(limit)) {
        const auto c = static_cast<unsigned char>(byte);
        if (c == '\r') {
            text += QStringLiteral("<CR>");
        } else if (c == '\n') {
            text += QStringLiteral("<LF>");
        } else if (c >= 0x20 && c < 0x7f) {
            text += QLatin1Char(static_cast<char>(c));
        } else {
            text += QStringLiteral("<%1>").arg(c, 2, 16, QLatin1Char('0')).toUpper();
        }
    }
    if (bytes.size() > limit) text += QStringLiteral("…");
    return text;
}

QString NoDeviceMessage(const UnansweredRequest& request) {
    const QString line =
        request.Modem
            ? QStringLiteral("Порт модема: %1 (связь с прибором через модем).").arg(request.Port)
            : QStringLiteral(
                  "Порт: %1, %2 бит/с, 8 бит данных, без контроля чётности, "
                  "1 стоповый бит (8N1).")
                  .arg(request.Port)
                  .arg(request.Speed);
    const QString sent =
        QStringLiteral("Отправлен запрос: %1").arg(ShownBytes(request.Request, kShownReplyBytes));
    const QString came =
        request.Reply.isEmpty()
            ? QStringLiteral("Ответа нет: за %1 с прибор ничего не прислал.")
                  .arg(request.WaitSeconds)
            : QStringLiteral("Ответ за %1 с без завершающего OK<CR><LF> (байт: %2): %3")
                  .arg(request.WaitSeconds)
                  .arg(request.Reply.size())
                  .arg(ShownBytes(request.Reply, kShownReplyBytes));
    const QString hint = request.Modem
                             ? QStringLiteral(
                                   "Проверьте, что прибор на том конце линии включён и подключён к "
                                   "своему модему.")
                             : QStringLiteral(
                                   "Проверьте, что прибор включён и его кабель подключён к этому "
                                   "порту, или выберите другой порт.");
    return WithDetail(
        QStringLiteral("Устройство не обнаружено, работа программы невозможна."),
        line + QLatin1Char('\n') + sent + QLatin1Char('\n') + came + QStringLiteral("\n\n") + hint);
}

}  // namespace lintaro
