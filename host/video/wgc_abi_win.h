#pragma once
// The Windows.Graphics.Capture ABI interfaces the WGC back-end calls
// (Windows build only). The cross-compiler's headers do not declare them, so
// they are declared here with the platform's interface ids and their slots
// in the platform's order (IUnknown, IInspectable, then the members as the
// interface defines them).

#include <windows.h>

#include <dxgi.h>
#include <eventtoken.h>
#include <hstring.h>
#include <inspectable.h>

#include <cstdint>

namespace orvane::wgc {

struct SizeInt32 {
  int32_t Width;
  int32_t Height;
};

struct TimeSpan {
  int64_t Duration;  // 100 ns units
};

// Windows.Graphics.DirectX.DirectXPixelFormat (the DXGI_FORMAT numbers).
inline constexpr int32_t kPixelFormatB8G8R8A8UIntNormalized = 87;
inline constexpr int32_t kPixelFormatR16G16B16A16Float = 10;

// Runtime class names.
inline constexpr wchar_t kGraphicsCaptureItemClass[] = L"Windows.Graphics.Capture.GraphicsCaptureItem";
inline constexpr wchar_t kFramePoolClass[] = L"Windows.Graphics.Capture.Direct3D11CaptureFramePool";

// Interface ids.
inline constexpr IID kIidGraphicsCaptureItemInterop = {
    0x3628e81b, 0x3cac, 0x4c60, {0xb7, 0xf4, 0x23, 0xce, 0x0e, 0x0c, 0x33, 0x56}};
inline constexpr IID kIidGraphicsCaptureItem = {
    0x79c3f95b, 0x31f7, 0x4ec2, {0xa4, 0x64, 0x63, 0x2e, 0xf5, 0xd3, 0x07, 0x60}};
inline constexpr IID kIidDirect3D11CaptureFramePoolStatics2 = {
    0x589b103f, 0x6bbc, 0x5df5, {0xa9, 0x91, 0x02, 0xe2, 0x8b, 0x3b, 0x66, 0xd5}};
inline constexpr IID kIidDirect3D11CaptureFramePool = {
    0x24eb6d22, 0x1975, 0x422e, {0x82, 0xe7, 0x78, 0x0d, 0xbd, 0x8d, 0xdf, 0x24}};
inline constexpr IID kIidDirect3D11CaptureFrame = {
    0xfa50c623, 0x38da, 0x4b32, {0xac, 0xf3, 0xfa, 0x97, 0x34, 0xad, 0x80, 0x0e}};
inline constexpr IID kIidGraphicsCaptureSession = {
    0x814e42a9, 0xf70f, 0x4ad7, {0x93, 0x9b, 0xfd, 0xdc, 0xc6, 0xeb, 0x88, 0x0d}};
inline constexpr IID kIidGraphicsCaptureSession2 = {
    0x2c39ae40, 0x7d2e, 0x5044, {0x80, 0x4e, 0x8b, 0x67, 0x99, 0xd4, 0xcf, 0x9e}};
inline constexpr IID kIidClosable = {
    0x30d5a829, 0x7fa4, 0x4026, {0x83, 0xbb, 0xd7, 0x5b, 0xae, 0x4e, 0xa9, 0x9e}};
inline constexpr IID kIidDirect3DDxgiInterfaceAccess = {
    0xa9b3d012, 0x3df2, 0x4ee3, {0xb8, 0xd1, 0x86, 0x95, 0xf4, 0x57, 0xd3, 0xc1}};
// TypedEventHandler<Direct3D11CaptureFramePool, Object>.
inline constexpr IID kIidFrameArrivedHandler = {
    0x51a947f7, 0x79cf, 0x5a3e, {0xa3, 0xa5, 0x12, 0x89, 0xcf, 0xa6, 0xdf, 0xe8}};
inline constexpr IID kIidAgileObject = {
    0x94ea2b94, 0xe9cc, 0x49e0, {0xc0, 0xff, 0xee, 0x64, 0xca, 0x8f, 0x5b, 0x90}};

struct IDirect3D11CaptureFramePool;
struct IGraphicsCaptureSession;

struct IGraphicsCaptureItemInterop : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateForWindow(HWND window, REFIID iid, void** result) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateForMonitor(HMONITOR monitor, REFIID iid, void** result) = 0;
};

struct IGraphicsCaptureItem : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_DisplayName(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Size(SizeInt32* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE add_Closed(IUnknown* handler, EventRegistrationToken* token) = 0;
  virtual HRESULT STDMETHODCALLTYPE remove_Closed(EventRegistrationToken token) = 0;
};

struct IDirect3D11CaptureFrame : public IInspectable {
  // An IDirect3DSurface.
  virtual HRESULT STDMETHODCALLTYPE get_Surface(IInspectable** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_SystemRelativeTime(TimeSpan* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ContentSize(SizeInt32* value) = 0;
};

struct IFrameArrivedHandler : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Invoke(IDirect3D11CaptureFramePool* sender, IInspectable* args) = 0;
};

struct IDirect3D11CaptureFramePool : public IInspectable {
  // `device` is an IDirect3DDevice.
  virtual HRESULT STDMETHODCALLTYPE Recreate(IInspectable* device, int32_t pixel_format, int32_t buffers,
                                             SizeInt32 size) = 0;
  virtual HRESULT STDMETHODCALLTYPE TryGetNextFrame(IDirect3D11CaptureFrame** result) = 0;
  virtual HRESULT STDMETHODCALLTYPE add_FrameArrived(IFrameArrivedHandler* handler, EventRegistrationToken* token) = 0;
  virtual HRESULT STDMETHODCALLTYPE remove_FrameArrived(EventRegistrationToken token) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateCaptureSession(IGraphicsCaptureItem* item,
                                                         IGraphicsCaptureSession** result) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_DispatcherQueue(IInspectable** value) = 0;
};

struct IDirect3D11CaptureFramePoolStatics2 : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE CreateFreeThreaded(IInspectable* device, int32_t pixel_format, int32_t buffers,
                                                       SizeInt32 size, IDirect3D11CaptureFramePool** result) = 0;
};

struct IGraphicsCaptureSession : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE StartCapture() = 0;
};

struct IGraphicsCaptureSession2 : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_IsCursorCaptureEnabled(boolean* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_IsCursorCaptureEnabled(boolean value) = 0;
};

// Windows.Foundation.IClosable.
struct IClosable : public IInspectable {
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;
};

// Reaches the DXGI object behind a WinRT Direct3D surface or device.
struct IDirect3DDxgiInterfaceAccess : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetInterface(REFIID iid, void** p) = 0;
};

// d3d11.dll's CreateDirect3D11DeviceFromDXGIDevice, resolved at run time
// (not every d3d11.dll exports it).
using CreateDirect3D11DeviceFromDxgiDeviceFn = HRESULT(WINAPI*)(IDXGIDevice* device, IInspectable** result);

}  // namespace orvane::wgc
