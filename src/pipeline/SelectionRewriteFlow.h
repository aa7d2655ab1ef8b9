#pragma once

#include "core/Expected.h"
#include "pipeline/PipelineCollaborators.h"
#include "text/RewriteService.h"

#include <QObject>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include <functional>

namespace dravelin {

class Stopwatch;

// Rewriting the text selected in another application: the user's clipboard
// is set aside, the selection copied with a synthetic Ctrl+C (Ctrl+Shift+C in
// terminals), rewritten by the backend, pasted over the selection, and the
// clipboard put back — in every outcome. The pipeline owns the state around
// it (busy, signed in); this runs the steps. Main-thread only.
class SelectionRewriteFlow final : public QObject
{
    Q_OBJECT
public:
    // The selected text to its rewritten form.
    using Provider = std::function<QCoro::Task<Expected<QString, RewriteError>>(QString)>;

    // How long the focused application gets to serve the copy before the
    // clipboard is read, and the paste before the clipboard is restored.
    static constexpr Millis kCopyWait{80};
    static constexpr Millis kPasteWait{150};

    explicit SelectionRewriteFlow(PipelineCollaborators &collaborators, QObject *parent = nullptr);

    // A provider rewriting in `style`, or by a transform's prompt.
    Provider styleProvider(RewriteStyle style) const;
    Provider promptProvider(QString prompt) const;

    // The steps from the clipboard snapshot to the restore; `label` names the
    // flow in the log ("rewrite", "transform[Polish]").
    QCoro::Task<> run(QString label, Provider provider);

    void handleRewriteError(const RewriteError &error);

private:
    PipelineCollaborators &m_c;
};

} // namespace dravelin
