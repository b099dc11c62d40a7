#include "api/AnswerText.h"

#include <QJsonDocument>

#include <cmath>
#include <QUrl>

namespace {
// A number is an id only as a whole number a double holds exactly (up to
// 2^53): converting anything larger to an integer is undefined, and it would
// not be the id the backend meant anyway.
bool isWholeId(double number)
{
    constexpr double kLargestExact = 9007199254740992.0;
    return number >= -kLargestExact && number <= kLargestExact && number == std::trunc(number);
}
} // namespace

QJsonObject AnswerText::successObject(const QByteArray &answer)
{
    const QJsonObject root = QJsonDocument::fromJson(answer).object();
    return root.value(QLatin1String("success")).toBool() ? root : QJsonObject();
}

QString AnswerText::id(const QJsonValue &value, int maxLength)
{
    QString id;
    if (value.isString())
        id = value.toString();
    else if (value.isDouble() && isWholeId(value.toDouble()))
        id = QString::number(qint64(value.toDouble()));
    if (id.isEmpty() || id.size() > maxLength)
        return {};
    for (const QChar c : std::as_const(id)) {
        // Ids go into request paths and settings: ASCII letters, digits, "-"
        // and "_", so none can climb out of its path.
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('-') && c != QLatin1Char('_'))
            return {};
    }
    return id;
}

QString AnswerText::text(const QJsonValue &value, int maxLength)
{
    if (!value.isString())
        return {};
    QString text = value.toString();
    text.removeIf([](QChar c) { return c.category() == QChar::Other_Control && c != QLatin1Char('\n'); });
    text = text.trimmed();
    if (text.size() > maxLength)
        text = text.left(maxLength - 1).trimmed() + QChar(0x2026);
    return text;
}

QString AnswerText::webLink(const QJsonValue &value)
{
    const QUrl url(value.toString(), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()
        || (url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("http")))
        return {};
    return url.toString(QUrl::FullyEncoded);
}
