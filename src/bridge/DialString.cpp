#include "bridge/DialString.h"

namespace lintaro {

bool IsDialString(const QString& phone) {
    if (phone.size() > DialStringLimit) return false;
    for (const QChar c : phone) {
        const char16_t u = c.unicode();
        const bool allowed = (u >= '0' && u <= '9') || u == '+' || u == '*' || u == '#' ||
                             u == ',' || u == 'W' || u == 'w' || u == 'P' || u == 'p' || u == ' ' ||
                             u == '-' || u == '(' || u == ')' || u == '.';
        if (!allowed) return false;
    }
    return true;
}

QString DialStringRefusal() {
    return QStringLiteral(
               "Недопустимый номер телефона. Допустимы цифры, символы + * # , W P, "
               "скобки, дефисы, точки и пробелы, не более %1 символов.")
        .arg(DialStringLimit);
}

}  // namespace lintaro
