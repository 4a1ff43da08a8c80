#include "host/video/capture_wgc_win.h"

#include <algorithm>
#include <atomic>

#include "host/common/logger.h"
#include "host/video/capture_color.h"
#include "host/video/wgc_abi_win.h"

namespace orvane {

namespace {

// RO_E_CLOSED: the object was closed (the capture ended underneath).
constexpr HRESULT kRoClosed = static_cast<HRESULT>(0x80000013u);

// The WinRT entry points, resolved from combase.dll at run time so that the
// program starts (and the other back-ends work) where they are missing.
struct WinRtApi {
  using RoInitializeFn = HRESULT(WINAPI*)(int);
  using RoGetActivationFactoryFn = HRESULT(WINAPI*)(HSTRING, REFIID, void**);
  using WindowsCreateStringFn = HRESULT(WINAPI*)(const wchar_t*, UINT32, HSTRING*);
  using WindowsDeleteStringFn = HRESULT(WINAPI*)(HSTRING);
  RoInitializeFn ro_initialize = nullptr;
  RoGetActivationFactoryFn get_factory = nullptr;
  WindowsCreateStringFn create_string = nullptr;
  WindowsDeleteStringFn delete_string = nullptr;
  wgc::CreateDirect3D11DeviceFromDxgiDeviceFn create_device = nullptr;
  HRESULT load_result = S_OK;

  bool Ready() const { return ro_initialize && get_factory && create_string && delete_string; }
};

template <typename Fn>
Fn Resolve(HMODULE module, const char* name) {
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const WinRtApi& Api() {
  static const WinRtApi api = [] {
    WinRtApi a;
    HMODULE combase = LoadLibraryExW(L"combase.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (combase == nullptr) a.load_result = LastErrorHResult();
    a.ro_initialize = Resolve<WinRtApi::RoInitializeFn>(combase, "RoInitialize");
    a.get_factory = Resolve<WinRtApi::RoGetActivationFactoryFn>(combase, "RoGetActivationFactory");
    a.create_string = Resolve<WinRtApi::WindowsCreateStringFn>(combase, "WindowsCreateString");
    a.delete_string = Resolve<WinRtApi::WindowsDeleteStringFn>(combase, "WindowsDeleteString");
    if (combase != nullptr && !a.Ready()) a.load_result = HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    HMODULE d3d11 = GetModuleHandleW(L"d3d11.dll");
    a.create_device = Resolve<wgc::CreateDirect3D11DeviceFromDxgiDeviceFn>(d3d11, "CreateDirect3D11DeviceFromDXGIDevice");
    return a;
  }();
  return api;
}

// The calling thread joins the multithreaded apartment once; it stays there
// until the thread ends.
HRESULT EnsureApartment() {
  thread_local bool joined = false;
  if (joined) return S_OK;
  const WinRtApi& api = Api();
  if (!api.Ready()) return FAILED(api.load_result) ? api.load_result : E_NOTIMPL;
  constexpr int kMultithreaded = 1;
  const HRESULT hr = api.ro_initialize(kMultithreaded);
  // An apartment the thread already has is used as it is.
  if (SUCCEEDED(hr) || hr == RPC_E_CHANGED_MODE) {
    joined = true;
    return S_OK;
  }
  return hr;
}

HRESULT GetFactory(const wchar_t* class_name, REFIID iid, void** out) {
  const WinRtApi& api = Api();
  if (!api.Ready()) return FAILED(api.load_result) ? api.load_result : E_NOTIMPL;
  HSTRING name = nullptr;
  HRESULT hr = api.create_string(class_name, static_cast<UINT32>(wcslen(class_name)), &name);
  if (FAILED(hr)) return hr;
  hr = api.get_factory(name, iid, out);
  api.delete_string(name);
  return hr;
}

void CloseObject(IUnknown* object) {
  if (object == nullptr) return;
  ComPtr<wgc::IClosable> closable;
  if (SUCCEEDED(object->QueryInterface(wgc::kIidClosable, reinterpret_cast<void**>(closable.GetAddressOf()))) &&
      closable) {
    const HRESULT hr = closable->Close();
    if (FAILED(hr)) LogDebug("[Capture] WGC Close failed: 0x%08lX", HrBits(hr));
  }
}

// Sets an event when a frame arrives. It keeps a handle of its own to the
// event, so a call that races with Shutdown never touches a closed handle.
class FrameArrivedHandler final : public wgc::IFrameArrivedHandler {
 public:
  static ComPtr<FrameArrivedHandler> Create(HANDLE event, HRESULT* hr) {
    HANDLE own = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &own, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
      *hr = LastErrorHResult();
      return nullptr;
    }
    // The new object's one reference passes to the pointer (MinGW's Attach
    // would add another).
    ComPtr<FrameArrivedHandler> handler;
    *handler.GetAddressOf() = new FrameArrivedHandler(own);
    *hr = S_OK;
    return handler;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, wgc::kIidFrameArrivedHandler) ||
        IsEqualIID(iid, wgc::kIidAgileObject)) {
      *out = static_cast<wgc::IFrameArrivedHandler*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE Invoke(wgc::IDirect3D11CaptureFramePool*, IInspectable*) override {
    SetEvent(event_);
    return S_OK;
  }

 private:
  explicit FrameArrivedHandler(HANDLE event) : event_(event) {}
  ~FrameArrivedHandler() { CloseHandle(event_); }

  std::atomic<ULONG> refs_{1};
  HANDLE event_;
};

// A frame taken from the pool, closed when it goes out of scope.
struct FrameGuard {
  ComPtr<wgc::IDirect3D11CaptureFrame> frame;
  ~FrameGuard() {
    CloseObject(frame.Get());
    frame.Reset();
  }
};

}  // namespace

struct WgcCaptureSource::Session {
  CaptureInitParams params;
  std::shared_ptr<D3D11Device> device;
  ComPtr<IInspectable> winrt_device;
  HANDLE event = nullptr;
  ComPtr<wgc::IGraphicsCaptureItem> item;
  ComPtr<wgc::IDirect3D11CaptureFramePool> pool;
  ComPtr<wgc::IGraphicsCaptureSession> session;
  EventRegistrationToken token{};
  bool subscribed = false;
  int32_t pixel_format = wgc::kPixelFormatB8G8R8A8UIntNormalized;
  wgc::SizeInt32 pool_size{0, 0};
  OutputColor color;
  uint32_t rotation = 0;
  uint32_t desktop_width = 0;
  uint32_t desktop_height = 0;

  void Close() {
    if (subscribed && pool) {
      const HRESULT hr = pool->remove_FrameArrived(token);
      if (FAILED(hr)) LogDebug("[Capture] WGC remove_FrameArrived failed: 0x%08lX", HrBits(hr));
    }
    subscribed = false;
    CloseObject(session.Get());
    session.Reset();
    CloseObject(pool.Get());
    pool.Reset();
    item.Reset();
    winrt_device.Reset();
    if (event != nullptr) CloseHandle(event);
    event = nullptr;
    device.reset();
  }
};

WgcCaptureSource::WgcCaptureSource(IClock* clock) : clock_(clock ? *clock : SystemClock()) {}

WgcCaptureSource::~WgcCaptureSource() { Shutdown(); }

bool WgcCaptureSource::Fail(int code, const char* message, HRESULT hr) {
  Shutdown();
  result_ = HostResult::Failure(code, message, hr);
  return false;
}

void WgcCaptureSource::Shutdown() {
  if (session_) {
    session_->Close();
    session_.reset();
  }
  converter_.Reset();
  delivery_.Stop();
  handoff_ = false;
  logged_frames_ = false;
  warned_unrotated_ = false;
}

bool WgcCaptureSource::Initialize(const CaptureInitParams& params) {
  Shutdown();
  // 1. The monitor, looked up now by its device name.
  HMONITOR monitor = reinterpret_cast<HMONITOR>(params.monitor_handle);
  LiveMonitor live;
  if (FindMonitorByDeviceName(params.monitor_id, &live)) monitor = live.handle;
  if (monitor == nullptr) {
    LogWarn("[Capture] WGC has no monitor handle for %s", params.monitor_id.c_str());
    return Fail(1, "no monitor handle", kEInvalidArg);
  }
  session_ = std::make_unique<Session>();
  Session& s = *session_;
  s.params = params;

  // 2. Device, its WinRT wrapper and the frame-arrived event.
  HRESULT hr = EnsureApartment();
  if (FAILED(hr)) {
    LogError("[Capture] WGC initialization failed: 0x%08lX", HrBits(hr));
    return Fail(2, "WinRT unavailable", hr);
  }
  DxgiOutputMatch match;
  const bool has_output = FindDxgiOutput(monitor, &match);
  uint64_t output_luid = 0;
  bool luid_known = false;
  if (has_output) {
    DXGI_ADAPTER_DESC1 ad = {};
    luid_known = CheckHr(match.adapter->GetDesc1(&ad), "IDXGIAdapter1::GetDesc1");
    if (luid_known) output_luid = AdapterLuidValue(ad.AdapterLuid);
  }
  if (params.shared_device && luid_known && params.shared_device->AdapterLuid() == output_luid) {
    s.device = D3D11Device::Wrap(static_cast<ID3D11Device*>(params.shared_device->Native()), params.shared_device);
    handoff_ = s.device != nullptr;
  }
  if (!s.device) {
    if (params.shared_device) {
      LogInfo("[Capture] Monitor is on a different adapter than the encoder; using CPU readback");
    }
    HRESULT created = S_OK;
    s.device = D3D11Device::Create(has_output ? match.adapter.Get() : nullptr, "WGC", &created);
    if (!s.device) return Fail(3, "D3D11 device", created);
    handoff_ = false;
  }
  ComPtr<IDXGIDevice> dxgi_device;
  hr = s.device->device()->QueryInterface(__uuidof(IDXGIDevice), reinterpret_cast<void**>(dxgi_device.GetAddressOf()));
  if (FAILED(hr) || !dxgi_device) {
    LogWarn("[Capture] WGC failed to query IDXGIDevice: 0x%08lX", HrBits(hr));
    return Fail(4, "IDXGIDevice", FAILED(hr) ? hr : E_NOINTERFACE);
  }
  const WinRtApi& api = Api();
  hr = api.create_device != nullptr ? api.create_device(dxgi_device.Get(), s.winrt_device.GetAddressOf())
                                    : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  if (FAILED(hr) || !s.winrt_device) {
    const HRESULT shown = FAILED(hr) ? hr : E_POINTER;
    LogWarn("[Capture] CreateDirect3D11DeviceFromDXGIDevice failed: 0x%08lX", HrBits(shown));
    return Fail(5, "CreateDirect3D11DeviceFromDXGIDevice", shown);
  }
  s.event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (s.event == nullptr) {
    hr = LastErrorHResult();
    LogError("[Capture] WGC initialization failed: 0x%08lX", HrBits(hr));
    return Fail(6, "frame event", hr);
  }

  // 3. Colour plan.
  if (has_output) {
    const std::wstring device_name(match.desc.DeviceName);
    s.color = ReadOutputColor(match.output.Get(), device_name.c_str());
    s.rotation = RotationFromDxgi(static_cast<uint32_t>(match.desc.Rotation));
    const RECT& dc = match.desc.DesktopCoordinates;
    s.desktop_width = static_cast<uint32_t>(std::max<LONG>(0, dc.right - dc.left));
    s.desktop_height = static_cast<uint32_t>(std::max<LONG>(0, dc.bottom - dc.top));
  } else {
    s.desktop_width = static_cast<uint32_t>(std::clamp<int64_t>(params.Width(), 0, kMaxCaptureSide));
    s.desktop_height = static_cast<uint32_t>(std::clamp<int64_t>(params.Height(), 0, kMaxCaptureSide));
  }
  converter_.Create(s.device);
  delivery_.Start(s.device);
  const bool fp16 = s.color.hdr && converter_.Ready();
  s.pixel_format = fp16 ? wgc::kPixelFormatR16G16B16A16Float : wgc::kPixelFormatB8G8R8A8UIntNormalized;
  LogInfo("[Capture] WGC color plan pixel_format=%s hdr=%s bits=%u sdr_white=%.0f nits output_rotation=%s "
          "converter=%s",
          fp16 ? "scrgb-fp16" : "bgra8", s.color.hdr ? "on" : "off", s.color.bits,
          static_cast<double>(s.color.sdr_white_nits), RotationName(s.rotation),
          converter_.Ready() ? "ready" : "unavailable");

  // 4. Item, frame pool, subscription, session.
  ComPtr<wgc::IGraphicsCaptureItemInterop> interop;
  hr = GetFactory(wgc::kGraphicsCaptureItemClass, wgc::kIidGraphicsCaptureItemInterop,
                  reinterpret_cast<void**>(interop.GetAddressOf()));
  if (SUCCEEDED(hr)) {
    hr = interop->CreateForMonitor(monitor, wgc::kIidGraphicsCaptureItem, reinterpret_cast<void**>(s.item.GetAddressOf()));
  }
  if (FAILED(hr) || !s.item) {
    const HRESULT shown = FAILED(hr) ? hr : E_POINTER;
    LogError("[Capture] WGC CreateForMonitor failed: 0x%08lX", HrBits(shown));
    return Fail(7, "CreateForMonitor", shown);
  }
  hr = s.item->get_Size(&s.pool_size);
  ComPtr<wgc::IDirect3D11CaptureFramePoolStatics2> statics;
  if (SUCCEEDED(hr)) {
    hr = GetFactory(wgc::kFramePoolClass, wgc::kIidDirect3D11CaptureFramePoolStatics2,
                    reinterpret_cast<void**>(statics.GetAddressOf()));
  }
  if (SUCCEEDED(hr)) {
    hr = statics->CreateFreeThreaded(s.winrt_device.Get(), s.pixel_format, 2, s.pool_size, s.pool.GetAddressOf());
    if (SUCCEEDED(hr) && !s.pool) hr = E_POINTER;
  }
  if (SUCCEEDED(hr)) {
    ComPtr<FrameArrivedHandler> handler = FrameArrivedHandler::Create(s.event, &hr);
    if (SUCCEEDED(hr)) hr = s.pool->add_FrameArrived(handler.Get(), &s.token);
    s.subscribed = SUCCEEDED(hr);
  }
  if (SUCCEEDED(hr)) {
    hr = s.pool->CreateCaptureSession(s.item.Get(), s.session.GetAddressOf());
    if (SUCCEEDED(hr) && !s.session) hr = E_POINTER;
  }
  if (SUCCEEDED(hr)) {
    ComPtr<wgc::IGraphicsCaptureSession2> session2;
    HRESULT cursor = s.session->QueryInterface(wgc::kIidGraphicsCaptureSession2,
                                               reinterpret_cast<void**>(session2.GetAddressOf()));
    if (SUCCEEDED(cursor) && session2) cursor = session2->put_IsCursorCaptureEnabled(0);
    if (FAILED(cursor)) {
      LogWarn("[Capture] WGC cannot disable cursor capture on this OS: 0x%08lX", HrBits(cursor));
    }
    hr = s.session->StartCapture();
  }
  if (FAILED(hr)) {
    LogError("[Capture] WGC initialization failed: 0x%08lX", HrBits(hr));
    return Fail(8, "WGC initialization", hr);
  }
  LogInfo("[Capture] Windows Graphics Capture initialized (monitor=%s %dx%d gpu_handoff=%s)",
          params.monitor_id.c_str(), static_cast<int>(params.Width()), static_cast<int>(params.Height()),
          handoff_ ? "yes" : "no");
  result_ = HostResult::Success();
  return true;
}

CapturedFrame WgcCaptureSource::Acquire(uint32_t wait_ms, bool want_texture) {
  CapturedFrame frame;
  if (!session_ || !session_->pool) {
    frame.status = CaptureStatus::kLost;
    return frame;
  }
  Session& s = *session_;
  FrameGuard taken;
  auto try_take = [&]() -> HRESULT {
    D3D11DeviceLock lock(*s.device);
    return s.pool->TryGetNextFrame(taken.frame.ReleaseAndGetAddressOf());
  };
  ResetEvent(s.event);
  HRESULT hr = try_take();
  if (SUCCEEDED(hr) && !taken.frame && wait_ms > 0) {
    const DWORD waited = WaitForSingleObject(s.event, wait_ms);
    if (waited == WAIT_FAILED) LogDebug("[Capture] WGC frame wait failed: %lu", GetLastError());
    hr = try_take();
  }
  const uint64_t now = clock_.TickMs();
  if (FAILED(hr)) {
    const bool lost = hr == DXGI_ERROR_DEVICE_REMOVED || hr == DXGI_ERROR_DEVICE_RESET || hr == kRoClosed;
    if (!lost && warn_limiter_.Allow(now)) LogWarn("[Capture] WGC TryGetNextFrame failed: 0x%08lX", HrBits(hr));
    result_ = HostResult::Failure(9, "TryGetNextFrame", hr);
    frame.status = lost ? CaptureStatus::kLost : CaptureStatus::kFailed;
    return frame;
  }
  if (!taken.frame) {
    frame.status = CaptureStatus::kTimeout;
    return frame;
  }
  wgc::SizeInt32 content{0, 0};
  if (SUCCEEDED(taken.frame->get_ContentSize(&content)) &&
      (content.Width != s.pool_size.Width || content.Height != s.pool_size.Height) &&
      CaptureSizeAcceptable(content.Width, content.Height)) {
    D3D11DeviceLock lock(*s.device);
    hr = s.pool->Recreate(s.winrt_device.Get(), s.pixel_format, 2, content);
    if (SUCCEEDED(hr)) {
      s.pool_size = content;
    } else if (warn_limiter_.Allow(now)) {
      LogWarn("[Capture] WGC frame pool could not be re-created: 0x%08lX", HrBits(hr));
    }
  }
  ComPtr<IInspectable> surface;
  hr = taken.frame->get_Surface(surface.GetAddressOf());
  ComPtr<wgc::IDirect3DDxgiInterfaceAccess> access;
  if (SUCCEEDED(hr) && surface) {
    hr = surface->QueryInterface(wgc::kIidDirect3DDxgiInterfaceAccess, reinterpret_cast<void**>(access.GetAddressOf()));
  }
  if (FAILED(hr) || !access) {
    if (warn_limiter_.Allow(now)) {
      LogWarn("[Capture] WGC surface QueryInterface(IDirect3DDxgiInterfaceAccess) failed: 0x%08lX",
              HrBits(FAILED(hr) ? hr : E_NOINTERFACE));
    }
    result_ = HostResult::Failure(10, "surface access", FAILED(hr) ? hr : E_NOINTERFACE);
    frame.status = CaptureStatus::kFailed;
    return frame;
  }
  ComPtr<ID3D11Texture2D> texture;
  hr = access->GetInterface(__uuidof(ID3D11Texture2D), reinterpret_cast<void**>(texture.GetAddressOf()));
  if (FAILED(hr) || !texture) {
    if (warn_limiter_.Allow(now)) {
      LogWarn("[Capture] WGC surface to ID3D11Texture2D failed: 0x%08lX", HrBits(FAILED(hr) ? hr : E_NOINTERFACE));
    }
    result_ = HostResult::Failure(11, "surface texture", FAILED(hr) ? hr : E_NOINTERFACE);
    frame.status = CaptureStatus::kFailed;
    return frame;
  }
  D3D11_TEXTURE2D_DESC desc = {};
  texture->GetDesc(&desc);
  FramePlanInput in;
  in.format = static_cast<uint32_t>(desc.Format);
  in.frame_width = desc.Width;
  in.frame_height = desc.Height;
  in.output_rotation = s.rotation;
  in.desktop_width = s.desktop_width;
  in.desktop_height = s.desktop_height;
  in.hdr = s.color.hdr;
  in.sdr_white_nits = s.color.sdr_white_nits;
  in.converter_ready = converter_.Ready();
  const FramePlan plan = PlanCapturedFrame(in);
  if (plan.needs_unavailable_converter) {
    if (warn_limiter_.Allow(now)) {
      LogWarn("[Capture] %s frame needs the GPU converter, which is unavailable", CaptureFormatName(in.format));
    }
    result_ = HostResult::Failure(12, "frame needs the GPU converter", kENotImpl);
    frame.status = CaptureStatus::kLost;
    return frame;
  }
  if (plan.unrotated_fallback && !warned_unrotated_) {
    warned_unrotated_ = true;
    LogWarn("[Capture] Output is rotated %s but the GPU converter is unavailable; streaming it unrotated",
            RotationName(s.rotation));
  }
  if (!logged_frames_ || last_format_ != in.format || last_rotation_ != plan.rotation) {
    logged_frames_ = true;
    last_format_ = in.format;
    last_rotation_ = plan.rotation;
    LogInfo("[Capture] WGC frames: format=%s %ux%u rotation=%s path=%s sdr_white_scale=%.2f",
            CaptureFormatName(in.format), desc.Width, desc.Height, RotationName(plan.rotation),
            CapturePathName(plan.path), static_cast<double>(plan.sdr_white_scale));
  }
  const CaptureStatus status =
      delivery_.Deliver(texture.Get(), plan, want_texture, handoff_, &converter_, now, &frame, &result_);
  if (status != CaptureStatus::kFrame) {
    CapturedFrame failed;
    failed.status = CaptureStatus::kFailed;
    return failed;
  }
  return frame;  // the frame itself is closed by `taken` on the way out
}

}  // namespace orvane
