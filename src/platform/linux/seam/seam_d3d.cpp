// The Direct3D/DXGI part of the test seam (seam_d3d.h) and the hooks through which the layer reads it.
#include "platform/linux/seam/seam_d3d.h"

#include <array>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>

#include "platform/linux/display/d3d_objects.h"

namespace quorvel::platform {

namespace d3d {

namespace {

constexpr std::array<std::string_view, static_cast<std::size_t>(Call::kCount)> kCallNames = {
    "D3D11CreateDevice",
    "ID3D11Device::QueryInterface",
    "IDXGIDevice::GetParent",
    "IDXGIAdapter::EnumOutputs",
    "IDXGIOutput::GetDesc",
    "IDXGIOutput::QueryInterface",
    "IDXGIOutput1::DuplicateOutput",
    "IDXGIOutputDuplication::AcquireNextFrame",
    "IDXGIOutputDuplication::ReleaseFrame",
    "IDXGIResource::QueryInterface",
    "ID3D11Texture2D::GetDesc",
    "ID3D11Device::CreateTexture2D",
    "ID3D11DeviceContext::CopyResource",
    "ID3D11DeviceContext::Map",
    "ID3D11DeviceContext::Unmap",
};

struct CreateFailure {
  HRESULT result;
  bool leave_pointers;
};

struct State {
  std::mutex mutex;
  std::atomic<bool> armed{false};  // lets unscripted calls skip the lock
  std::array<std::atomic<long>, static_cast<std::size_t>(Call::kCount)> calls{};
  std::map<Call, HRESULT> fail_next;
  std::map<D3D_DRIVER_TYPE, CreateFailure> create_failures;
  SeamOverrides overrides;
  std::deque<seam::Acquire> script;
  std::atomic<GrabMethod> grab_method{GrabMethod::kRender};
  std::atomic<bool> refuse_reads{false};
};

State& state() {
  static State* s = new State;
  return *s;
}

Call CallNamed(std::string_view name) {
  for (std::size_t i = 0; i < kCallNames.size(); ++i) {
    if (kCallNames[i] == name) return static_cast<Call>(i);
  }
  throw std::invalid_argument("no such Direct3D/DXGI call in the seam: " + std::string(name));
}

// Runs `change` on the state under its lock and marks the seam armed.
template <typename F>
void Arm(F change) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  change(s);
  s.armed.store(true, std::memory_order_release);
}

}  // namespace

std::atomic<long>& LiveObjects() {
  static std::atomic<long>* live = new std::atomic<long>(0);
  return *live;
}

bool SeamFails(Call call, HRESULT& result) {
  State& s = state();
  s.calls[static_cast<std::size_t>(call)].fetch_add(1, std::memory_order_relaxed);
  if (!s.armed.load(std::memory_order_acquire)) return false;
  std::lock_guard lock(s.mutex);
  auto it = s.fail_next.find(call);
  if (it == s.fail_next.end()) return false;
  result = it->second;
  s.fail_next.erase(it);
  return true;
}

SeamOverrides SeamSettings() {
  State& s = state();
  if (!s.armed.load(std::memory_order_acquire)) return {};
  std::lock_guard lock(s.mutex);
  return s.overrides;
}

bool SeamCreateDeviceFailure(D3D_DRIVER_TYPE type, HRESULT& result, bool& leave_pointers) {
  State& s = state();
  if (!s.armed.load(std::memory_order_acquire)) return false;
  std::lock_guard lock(s.mutex);
  auto it = s.create_failures.find(type);
  if (it == s.create_failures.end()) return false;
  result = it->second.result;
  leave_pointers = it->second.leave_pointers;
  return true;
}

GrabMethod SeamBestGrabMethod() { return state().grab_method.load(std::memory_order_relaxed); }

bool SeamRefusesReads() { return state().refuse_reads.load(std::memory_order_relaxed); }

ScriptedAcquire SeamNextAcquire() {
  State& s = state();
  if (!s.armed.load(std::memory_order_acquire)) return ScriptedAcquire::kNone;
  std::lock_guard lock(s.mutex);
  if (s.script.empty()) return ScriptedAcquire::kNone;
  const seam::Acquire step = s.script.front();
  s.script.pop_front();
  switch (step) {
    case seam::Acquire::kFrame:
      return ScriptedAcquire::kFrame;
    case seam::Acquire::kNoPresentTime:
      return ScriptedAcquire::kNoPresentTime;
    case seam::Acquire::kTimeout:
      return ScriptedAcquire::kTimeout;
    case seam::Acquire::kAccessLost:
      return ScriptedAcquire::kAccessLost;
  }
  return ScriptedAcquire::kNone;
}

}  // namespace d3d

namespace seam {

void FailCreateDevice(D3D_DRIVER_TYPE type, HRESULT result, bool leave_pointers) {
  d3d::Arm([&](d3d::State& s) { s.create_failures[type] = {result, leave_pointers}; });
}

void FailNextCall(std::string_view method, HRESULT result) {
  const d3d::Call call = d3d::CallNamed(method);
  d3d::Arm([&](d3d::State& s) { s.fail_next[call] = result; });
}

void SetOutputs(std::vector<HMONITOR> monitors) {
  d3d::Arm([&](d3d::State& s) {
    s.overrides.outputs_set = true;
    s.overrides.outputs = std::move(monitors);
  });
}

void ScriptAcquire(std::vector<Acquire> steps) {
  d3d::Arm([&](d3d::State& s) { s.script.assign(steps.begin(), steps.end()); });
}

void SetFrameFormat(DXGI_FORMAT format) {
  d3d::Arm([&](d3d::State& s) { s.overrides.frame_format = format; });
}

void SetRowPadding(UINT bytes) {
  d3d::Arm([&](d3d::State& s) { s.overrides.row_padding = bytes; });
}

void SetRotation(DXGI_MODE_ROTATION rotation) {
  d3d::Arm([&](d3d::State& s) { s.overrides.rotation = rotation; });
}

void UseGrabMethod(d3d::GrabMethod method) { d3d::state().grab_method.store(method); }

void RefuseScreenReads(bool on) { d3d::state().refuse_reads.store(on); }

long D3DCalls(std::string_view method) {
  return d3d::state().calls[static_cast<std::size_t>(d3d::CallNamed(method))].load();
}

long LiveD3DObjects() { return d3d::LiveObjects().load(); }

void ResetD3D() {
  d3d::State& s = d3d::state();
  std::lock_guard lock(s.mutex);
  s.armed.store(false, std::memory_order_release);
  s.fail_next.clear();
  s.create_failures.clear();
  s.overrides = {};
  s.script.clear();
  s.grab_method.store(d3d::GrabMethod::kRender);
  s.refuse_reads.store(false);
  for (auto& count : s.calls) count.store(0);
}

}  // namespace seam

}  // namespace quorvel::platform
