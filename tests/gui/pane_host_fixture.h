// A document window for pane tests: the list over the tree and the dump in
// splitters, hosted without a main frame, with scripted capture state and
// answers to the deletion question.
#pragma once

#include <QApplication>
#include <QSplitter>
#include <QStringList>
#include <QVBoxLayout>
#include <QWidget>
#include <memory>

#include "dump/packet_dump.h"
#include "framework/doc_template.h"
#include "framework/kestrel_doc.h"
#include "framework/pane_host.h"
#include "framework/prompter.h"
#include "list/packet_list.h"
#include "tree/packet_tree.h"

namespace kestrel::test {

class CAnsweringPrompter : public CPrompter {
public:
    void ShowMessage(QWidget*, const QString& text, Icon) override { messages.append(text); }
    bool AskYesNo(QWidget*, const QString& text) override {
        questions.append(text);
        return answer;
    }
    QStringList GetOpenFileNames(QWidget*, const QStringList&) override { return {}; }
    QString GetSaveFileName(QWidget*, const QString&, const QStringList&, int&) override {
        return {};
    }

    bool answer = true;
    QStringList questions;
    QStringList messages;
};

class CPaneWindow : public QWidget, public CPaneHost {
public:
    explicit CPaneWindow(bool captureDocument = false)
        : m_template(captureDocument ? 131 : 129, captureDocument ? 1 : 0, "\nKestrel\n"),
          m_document(std::make_unique<CKestrelDoc>(&m_template)),
          m_captureDocument(captureDocument) {
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        m_outer = new QSplitter(Qt::Vertical, this);
        list = new CPacketList(m_document.get(), this, m_outer);
        auto* inner = new QSplitter(Qt::Horizontal, m_outer);
        tree = new CPacketTree(this, inner);
        dump = new CPacketDump(this, inner);
        layout->addWidget(m_outer);
        resize(1000, 700);
        m_outer->setSizes({250, 450});
        inner->setSizes({420, 580});
    }
    ~CPaneWindow() override {
        // The panes refer to the document: they go first.
        delete m_outer;
    }

    CKestrelDoc& Document() { return *m_document; }

    CPacketTree* TreePane() const override { return tree; }
    CPacketDump* DumpPane() const override { return dump; }
    void StartCaptureCommand() override { ++starts; }
    void StopCapture() override { ++stops; }
    int GetCaptureState() const override { return captureState; }
    bool IsCaptureDocument() const override { return m_captureDocument; }
    CPrompter& PanePrompter() const override { return prompter; }

    CPacketList* list = nullptr;
    CPacketTree* tree = nullptr;
    CPacketDump* dump = nullptr;
    int captureState = -1;
    int starts = 0;
    int stops = 0;
    mutable CAnsweringPrompter prompter;

private:
    CDocTemplate m_template;
    std::unique_ptr<CKestrelDoc> m_document;
    bool m_captureDocument;
    QSplitter* m_outer = nullptr;
};

}  // namespace kestrel::test
