#pragma once
// The plan of the next job in the user's words: for each file its name, its
// picture, its sound, its budget and the most it can weigh, and what the
// choices cannot keep at an audience. The pane shows the slowest and the
// fastest file; the table holds them all.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

#include "engine/job/engine.h"

namespace velmora {

struct PlanFileText {
    QString name;  // the file's own name, without its folder
    QString audience;
    QString picture;                // "320×240，每秒 15 帧", or 无画面
    QString sound;                  // "AC-3 44.1 kHz 立体声", or 无声音
    QString budget;                 // "225 kbps"
    QString largest;                // "至多约 1.6 MB", or 大小未知
    std::int64_t largestBytes = 0;  // 0 when the source's length is unknown
};

struct PlanText {
    QString heading;                  // how many files, how long the source is
    QString folder;                   // where the files go; empty while none is named
    std::vector<PlanFileText> files;  // slowest audience first
    QStringList notes;                // choices an audience cannot keep
};

// The audience's name as the window's boxes show it.
QString audienceName(encoder::Audience audience);

// `info` as planJob() gives it, for the content and video choices it was made with.
PlanText planText(const encoder::JobInfo& info, std::int32_t audioContent,
                  std::int32_t videoQuality);

// Every file in a table (rich text), the heading and notes around it.
QString planTable(const PlanText& plan);

}  // namespace velmora
