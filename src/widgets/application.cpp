#include "widgets/application.h"

#include <algorithm>

#include "widgets/platform.h"

namespace widgets {

std::vector<int> MessageBoxButtons(unsigned flags) {
  switch (flags & 0xF) {
    case kMbOkCancel:
      return {kIdOk, kIdCancel};
    case kMbAbortRetryIgnore:
      return {kIdAbort, kIdRetry, kIdIgnore};
    case kMbYesNoCancel:
      return {kIdYes, kIdNo, kIdCancel};
    case kMbYesNo:
      return {kIdYes, kIdNo};
    case kMbRetryCancel:
      return {kIdRetry, kIdCancel};
    default:
      return {kIdOk};
  }
}

const char* MessageBoxIconName(unsigned flags) {
  switch (flags & 0xF0) {
    case kMbIconError:
      return "error";
    case kMbIconQuestion:
      return "question";
    case kMbIconExclamation:
      return "exclamation";
    case kMbIconInformation:
      return "information";
    default:
      return "none";
  }
}

const char* ButtonName(int result) {
  switch (result) {
    case kIdOk:
      return "OK";
    case kIdCancel:
      return "Cancel";
    case kIdAbort:
      return "Abort";
    case kIdRetry:
      return "Retry";
    case kIdIgnore:
      return "Ignore";
    case kIdYes:
      return "Yes";
    case kIdNo:
      return "No";
    default:
      return "";
  }
}

int ButtonResult(std::string_view name) {
  for (int r = kIdOk; r <= kIdNo; ++r) {
    if (name == ButtonName(r)) return r;
  }
  return 0;
}

Color ResolveColor(const Platform& platform, Color color) {
  if (IsSystemColor(color)) return platform.ResolveSystemColor(static_cast<int>(color & 0xFF));
  return color;
}

Application::Application(Platform& platform) : platform_(&platform) {}

Application::~Application() {
  while (!forms_.empty()) {
    std::unique_ptr<Form> form = std::move(forms_.back());
    forms_.pop_back();
    form.reset();
  }
}

void Application::SetHandle(uintptr_t handle) {
  if (handle != handle_) handle_ = handle;
}

void Application::Adopt(std::unique_ptr<Form> form) {
  Form* raw = form.get();
  forms_.push_back(std::move(form));
  try {
    raw->ResolveBindings();
  } catch (...) {
    DestroyForm(raw);
    throw;
  }
}

void Application::DestroyForm(Form* form) {
  if (form == nullptr) return;
  if (form->IsModal()) {
    form->Release();
    return;
  }
  auto it = std::find_if(forms_.begin(), forms_.end(),
                         [&](const std::unique_ptr<Form>& f) { return f.get() == form; });
  if (it == forms_.end()) return;
  std::unique_ptr<Form> doomed = std::move(*it);
  forms_.erase(it);
  doomed.reset();
}

void Application::ProcessReleases() {
  for (;;) {
    auto it = std::find_if(forms_.begin(), forms_.end(), [](const std::unique_ptr<Form>& f) {
      return f->ReleasePending() && !f->IsModal();
    });
    if (it == forms_.end()) return;
    std::unique_ptr<Form> doomed = std::move(*it);
    forms_.erase(it);
    doomed.reset();
  }
}

bool Application::Owns(const Form* form) const {
  return std::any_of(forms_.begin(), forms_.end(),
                     [&](const std::unique_ptr<Form>& f) { return f.get() == form; });
}

std::vector<Form*> Application::Forms() const {
  std::vector<Form*> list;
  for (const auto& f : forms_) list.push_back(f.get());
  return list;
}

void Application::PopModal(Form* form) {
  auto it = std::find(modal_stack_.rbegin(), modal_stack_.rend(), form);
  if (it != modal_stack_.rend()) modal_stack_.erase(std::next(it).base());
}

int Application::ShowMessageBox(std::string_view text, std::string_view caption, unsigned flags) {
  MessageBoxSpec desc;
  desc.text = std::string(text);
  desc.caption = std::string(caption);
  desc.flags = flags;
  desc.owner = handle_;
  return platform_->ShowMessageBox(desc);
}

void Application::ShowException(const std::exception& error) {
  ShowMessageBox(error.what(), title_, kMbOk | kMbIconError);
}

void Application::Guard(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& error) {
    ShowException(error);
  }
}

}  // namespace widgets
