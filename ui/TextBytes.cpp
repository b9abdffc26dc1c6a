#include "ui/TextBytes.h"

#include <QStringDecoder>

namespace tyq::ui {

namespace {

// The length of the leading bytes that form whole UTF-8 sequences at the end.
std::size_t completeLength(const std::string& bytes) {
    const std::size_t size = bytes.size();
    // Look back over at most three continuation bytes for a lead byte.
    for (std::size_t back = 1; back <= 4 && back <= size; ++back) {
        const auto byte = static_cast<unsigned char>(bytes[size - back]);
        if ((byte & 0xC0u) == 0x80u) {
            continue;  // a continuation byte
        }
        std::size_t needed = 1;
        if ((byte & 0xE0u) == 0xC0u) {
            needed = 2;
        } else if ((byte & 0xF0u) == 0xE0u) {
            needed = 3;
        } else if ((byte & 0xF8u) == 0xF0u) {
            needed = 4;
        }
        return needed > back ? size - back : size;
    }
    return size;
}

}  // namespace

QString fromSettingBytes(const std::string& bytes) {
    const auto whole = static_cast<qsizetype>(completeLength(bytes));
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(QByteArrayView(bytes.data(), whole));
    if (utf8.hasError()) {
        return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
    }
    return text;
}

ShownSetting showSetting(const std::string& bytes) {
    return ShownSetting{bytes, fromSettingBytes(bytes)};
}

std::string settingBytesFor(const QString& text, const ShownSetting& shown) {
    return text == shown.text ? shown.bytes : toSettingBytes(text);
}

std::string toSettingBytes(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

}  // namespace tyq::ui
