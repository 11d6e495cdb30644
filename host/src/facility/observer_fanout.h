// observer_fanout.h - several observers of one facility: the live page and
// the bridges to real gear each see every change.
#ifndef VESK_HOST_FACILITY_OBSERVER_FANOUT_H
#define VESK_HOST_FACILITY_OBSERVER_FANOUT_H

#include <algorithm>
#include <vector>

#include "facility/facility.h"

namespace vhost {

class ObserverFanout : public FacilityObserver {
public:
    void add(FacilityObserver* observer) {
        if (observer != nullptr && observer != this &&
            std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) {
            observers_.push_back(observer);
        }
    }
    void remove(FacilityObserver* observer) {
        observers_.erase(std::remove(observers_.begin(), observers_.end(), observer),
                         observers_.end());
    }

    void controlChanged(const Connection& component, const std::string& panel, const Control& control,
                        const std::string& id, const std::string* text) override {
        for (FacilityObserver* observer : observers_) {
            observer->controlChanged(component, panel, control, id, text);
        }
    }
    void slotChanged(std::int32_t device, std::int32_t slot, const std::string& text) override {
        for (FacilityObserver* observer : observers_) observer->slotChanged(device, slot, text);
    }
    void infoWritten(const Connection& writer, std::int32_t device, std::int32_t slot,
                     const std::string& text) override {
        for (FacilityObserver* observer : observers_) observer->infoWritten(writer, device, slot, text);
    }
    void gpiChanged(std::int32_t device, std::int32_t input, std::int32_t state) override {
        for (FacilityObserver* observer : observers_) observer->gpiChanged(device, input, state);
    }
    void structureChanged() override {
        for (FacilityObserver* observer : observers_) observer->structureChanged();
    }
    void stepEnded() override {
        for (FacilityObserver* observer : observers_) observer->stepEnded();
    }

private:
    std::vector<FacilityObserver*> observers_;  // not owned
};

}  // namespace vhost

#endif  // VESK_HOST_FACILITY_OBSERVER_FANOUT_H
