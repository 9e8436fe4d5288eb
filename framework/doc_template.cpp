#include "framework/doc_template.h"

namespace kestrel {

CDocTemplate::CDocTemplate(int resourceId, int position, const char* docString)
    : m_resourceId(resourceId),
      m_position(position),
      m_fields(QString::fromUtf8(docString).split(QLatin1Char('\n'))) {}

QString CDocTemplate::GetDocString(DocStringIndex index) const {
    return index < m_fields.size() ? m_fields[index] : QString();
}

QString CDocTemplate::NextUntitledTitle() {
    ++m_untitledCount;
    QString name = GetDocString(kDocName);
    if (name.isEmpty())
        name = QStringLiteral("無題");
    return name + QString::number(m_untitledCount);
}

}  // namespace kestrel
