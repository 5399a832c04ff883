#pragma once
// A still map of one place with a marker on it, no interaction. The places
// folder paints it (the offline map); screens elsewhere, which cannot name
// that painter, take one from a StillMap::Factory handed to them.

#include <QWidget>

#include <functional>

namespace vintrelle {

class StillMap : public QWidget {
    Q_OBJECT
public:
    using Factory = std::function<StillMap*(QWidget* parent)>;
    using QWidget::QWidget;

    // The place in the middle, showing `span` degrees of latitude and of
    // longitude at least.
    virtual void setPlace(double lat, double lon, double span) = 0;
    virtual void clearPlace() = 0;
    // Every part of the last paint was ready.
    virtual bool isComplete() const = 0;

signals:
    // A paint with every part ready has just been made.
    void completed();
};

}  // namespace vintrelle
