#pragma once
// What the pane's pages have in common: their labels and the colour of a
// figure that went over its budget. Only the pane's own files include this.

#include <QLabel>
#include <QString>

namespace velmora::pane {

// A line of figures or names: plain text, found by its object name.
inline QLabel* figureLabel(const char* name, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    return label;
}

inline QString colourFor(bool overBudget) {
    return overBudget ? QStringLiteral("color: #b00") : QString();
}

// Hints and asides, quieter than the figures.
inline constexpr const char* kQuietStyle = "color: #666";

}  // namespace velmora::pane
