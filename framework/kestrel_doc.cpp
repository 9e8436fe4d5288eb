#include "framework/kestrel_doc.h"

#include <QFileInfo>

namespace kestrel {

CKestrelDoc::CKestrelDoc(CDocTemplate* docTemplate) : m_template(docTemplate) {}

CKestrelDoc::~CKestrelDoc() = default;

void CKestrelDoc::SetTitle(const QString& title) {
    if (title == m_title)
        return;
    m_title = title;
    emit TitleChanged(m_title);
}

void CKestrelDoc::SetPathName(const QString& path) {
    m_pathName = QFileInfo(path).absoluteFilePath();
    SetTitle(QFileInfo(path).fileName());
}

bool CKestrelDoc::OnOpenDocument(const QString& path, QString& error, QStringList& warnings) {
    const LoadResult result = LoadCaptureFile(path.toStdString(), m_packets);
    if (!result.ok) {
        error = QString::fromStdString(result.error);
        return false;
    }
    if (!result.warning.empty()) {
        warnings.append(QStringLiteral("ﾌｧｲﾙの途中で読み込みが終わりました。"
                                       "それまでのﾊﾟｹｯﾄを表示します。\n%1")
                            .arg(QString::fromStdString(result.warning)));
    }
    if (result.truncated) {
        warnings.append(
            QStringLiteral("ﾊﾟｹｯﾄが %1 個を超えています。最初の %1 個だけを読み込みました。")
                .arg(PacketStore::kCapacity));
    }
    m_fileKind = result.kind;
    SetPathName(path);
    return true;
}

bool CKestrelDoc::OnSaveDocument(const QString& path, FileKind kind, QString& error) {
    std::string reason;
    if (!SaveCaptureFile(m_packets, path.toStdString(), kind, reason)) {
        error = QString::fromStdString(reason);
        return false;
    }
    m_fileKind = kind == FileKind::PcapNg ? FileKind::Pcap : kind;
    SetPathName(path);
    return true;
}

}  // namespace kestrel
