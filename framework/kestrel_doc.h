// A document: one packet store, the adapter it captures from, its file.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <string>

#include "core/capture_file.h"
#include "core/packet_store.h"

namespace kestrel {

class CDocTemplate;

class CKestrelDoc : public QObject {
    Q_OBJECT
public:
    explicit CKestrelDoc(CDocTemplate* docTemplate);
    // Releases every packet of the store.
    ~CKestrelDoc() override;

    CDocTemplate* GetDocTemplate() const { return m_template; }
    PacketStore& Store() { return m_packets; }
    const PacketStore& Store() const { return m_packets; }

    const QString& GetTitle() const { return m_title; }
    void SetTitle(const QString& title);
    // Empty until the document was opened from or saved to a file.
    const QString& GetPathName() const { return m_pathName; }
    // The kind the document was read as or last saved as.
    FileKind GetFileKind() const { return m_fileKind; }

    // Documents are never marked modified: closing one never asks to save.
    bool IsModified() const { return false; }

    // Fills the (empty) store from the file; the kind is told by content.
    // False with `error` when nothing could be read; `warnings` gets the
    // reasons why only part of a readable file was taken.
    bool OnOpenDocument(const QString& path, QString& error, QStringList& warnings);
    // Writes the store in `kind`; on success the document takes the path
    // (and its file name as title) and the kind.
    bool OnSaveDocument(const QString& path, FileKind kind, QString& error);

    // Display name of the adapter this document captures from; empty for
    // documents that are not bound to an adapter.
    std::string m_deviceName;

signals:
    void TitleChanged(const QString& title);

private:
    void SetPathName(const QString& path);

    CDocTemplate* m_template;
    PacketStore m_packets;
    QString m_title;
    QString m_pathName;
    FileKind m_fileKind = FileKind::Pac;
};

}  // namespace kestrel
