#include "host/app/host_entry.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/app/command_line.h"
#include "host/app/console.h"
#include "host/app/crash_handler.h"
#include "host/app/early_modes.h"
#include "host/app/host_settings.h"
#include "host/app/host_state.h"
#include "host/app/network_loop.h"
#include "host/app/platform_startup.h"
#include "host/app/relaunch.h"
#include "host/app/single_instance.h"
#include "host/app/vdd_selftest_host.h"
#include "host/audio/speaker_mute.h"
#include "host/common/data_folder.h"
#include "host/common/file_io.h"
#include "host/common/logger.h"
#include "host/control/session_manager.h"
#include "host/control/session_pool.h"
#include "host/control/tablet_auth.h"
#include "host/security/device_trust.h"
#include "host/security/host_identity.h"
#include "host/security/pairing_code.h"
#include "host/vdd/host_virtual_displays.h"
#include "host/vdd/vdd_apply.h"
#include "host/vdd/vdd_settings_host.h"

namespace orvane {

namespace {

constexpr char kHostVersion[] = ORVANE_HOST_VERSION;

// The loop that owns the active pool, for the shutdown paths that arrive on
// other threads (console events, the installer's signal). Set while the loop
// object lives.
std::atomic<NetworkLoop*> g_network_loop{nullptr};

void StopActivePool() {
  if (NetworkLoop* loop = g_network_loop.load()) loop->StopActivePool();
}

// Speakers left muted by an earlier run that crashed or was ended (start-up
// and the early modes).
void RestoreSpeakersFromEarlierRun() { ProcessSpeakerMute().RestoreFromEarlierRun(); }

// The host is ending: give the speakers back now and mute no more.
void RestoreSpeakers() { ProcessSpeakerMute().HostShuttingDown(); }

bool HasFlag(const std::vector<std::string>& args, const char* flag) {
  return std::find(args.begin(), args.end(), flag) != args.end();
}

void PublishSettings(const HostSettings& settings, HostState& state) {
  state.capture_output_index.store(std::min<uint32_t>(settings.capture_output_index, 3));
  state.capture_backend.store(settings.capture_backend);
  state.share_clipboard.store(settings.share_clipboard);
  state.tablet_only_audio.store(settings.tablet_only_audio);
  state.check_for_updates.store(settings.check_for_updates);
  std::lock_guard<std::mutex> lock(state.settings_lock);
  state.update_notified_version = settings.update_notified_version;
}

inline constexpr char kPendingApplyFileName[] = "vdd_pending_apply.ini";

// The resolutions that wait for a driver restart. Its callbacks run on the
// back-end's thread under the manager mutex (the offer) or on the apply
// worker (launched, outcome): they log and note the coming display changes,
// and never block or take the manager's or the pool's locks.
std::unique_ptr<VddApplyController> MakeApplyController(VirtualDisplayManager& manager) {
  std::string pending_file;
  if (const std::optional<std::filesystem::path> folder = DataFolder()) {
    pending_file = PathToUtf8(*folder / kPendingApplyFileName);
  }
  auto controller = std::make_unique<VddApplyController>(
      std::move(pending_file),
      /*offer=*/[] { LogInfo("[Main] Virtual display resolutions wait for a driver restart"); },
      /*launched=*/[&manager] { manager.NoteDisplayChange(60000); },
      /*outcome=*/
      [&manager](vdd_apply::ApplyOutcome outcome) {
        manager.NoteDisplayChange(6000);
        LogInfo("[Main] Applying virtual display resolutions ended: %s", vdd_apply::ApplyOutcomeName(outcome));
      });
  controller->Load();
  return controller;
}

}  // namespace

ExtendedDisplayDecision DecideExtendedDisplay(const HostSettings& saved, bool settings_recognised,
                                              bool driver_available) {
  ExtendedDisplayDecision d;
  if (settings_recognised && saved.extended_display_user_set_present) {
    d.user_set = saved.extended_display_user_set_value;
    d.enabled = d.user_set ? saved.extended_display_value : driver_available;
  } else if (settings_recognised && saved.extended_display_present && saved.extended_display_value) {
    d.enabled = true;
    d.user_set = true;
  } else {
    d.enabled = driver_available;
    d.user_set = false;
  }
  d.save_needed = !settings_recognised || !saved.extended_display_present ||
                  !saved.extended_display_user_set_present || saved.extended_display_value != d.enabled ||
                  saved.extended_display_user_set_value != d.user_set;
  return d;
}

int RunHost(const std::vector<std::string>& args) {
  HostState& state = GetHostState();

  // Early modes: nothing else runs, no log is opened.
  if (HasFlag(args, "--shutdown")) {
    auto probe = CreateRunningHostProbe();
    return RunShutdownMode(*probe, SystemClock(), RestoreSpeakersFromEarlierRun);
  }
  if (HasFlag(args, "--restore-speakers")) {
    auto probe = CreateRunningHostProbe();
    return RunRestoreSpeakersMode(*probe, RestoreSpeakersFromEarlierRun);
  }
  const bool selftest = HasFlag(args, "--vdd-selftest");
  const bool background = HasFlag(args, "--background");
  state.console_mode.store(SetUpConsole(HasFlag(args, "--console"), selftest));

  SingleInstance instance;
  if (!selftest) {
    switch (instance.Acquire(HasFlag(args, "--relaunched"))) {
      case InstanceStatus::kOwner:
        break;
      case InstanceStatus::kAlreadyRunning:
        if (!background) HandOverToRunningInstance();
        return 0;
      case InstanceStatus::kWaitTimedOut:
      case InstanceStatus::kFailed:
        return 0;
    }
  }

  Logger::Instance().Open("orvane");
  InstallCrashHandler();
  // The crash path runs the hook on a thread of its own and waits for it;
  // the controller exists before then.
  SpeakerMuteController* speakers = &ProcessSpeakerMute();
  SetCrashSpeakerRestoreHook([speakers] { return speakers->RestoreForCrash(); });

  InstanceCommandListener commands;
  if (!selftest) {
    commands.Start({/*on_shutdown=*/
                    [&state] {
                      RestoreSpeakers();
                      state.relaunch_on_console_close.store(false);
                      state.shutdown_requested.store(true);
                      StopActivePool();
                    },
                    /*on_show_settings=*/
                    [] { LogInfo("[Main] Another start of the host asked for the settings window"); }});
  }

  LogInfo("====================================");
  LogInfo("  Orvane Display Host v%s", kHostVersion);
  LogInfo("====================================");

  HostSettings saved;
  const HostSettingsLoadResult loaded = LoadHostSettings(saved);
  if (loaded.recognised) PublishSettings(saved, state);

  const CommandLineOptions options = ParseCommandLine(args);
  ApplyCommandLine(options, &state);
  HostPorts ports = HostPortsFromCommandLine(options);

  if (!StartPlatform()) return 1;
  // A self-test beside a running host leaves that host's speakers alone.
  if (!selftest) RestoreSpeakersFromEarlierRun();

  ConsoleControlHandler console_handler;
  console_handler.Install(selftest ? ConsoleHandlerMode::kSelfTest : ConsoleHandlerMode::kHost,
                          {/*on_shutdown_signal=*/
                           [&state] {
                             LogInfo("\n[Main] Shutdown signal received");
                             RestoreSpeakers();
                             state.shutdown_requested.store(true);
                             StopActivePool();
                           },
                           /*on_console_close=*/[&state] { RelaunchInBackground(state.relaunch); }});

  if (selftest) {
    const int code = RunVddSelfTestAsHost(instance, options.vdd_selftest_monitor, options.vdd_selftest_seconds);
    console_handler.Remove();
    StopPlatform();
    Logger::Instance().Shutdown();
    instance.Release();
    return code;
  }

  LogInfo("[Main] Ports: Control=%u%s, Media=%u, Input=%u%s, Monitors=%u", static_cast<unsigned>(ports.control_port),
          ports.control_explicit ? " (explicit)" : "", static_cast<unsigned>(ports.media_port),
          static_cast<unsigned>(ports.input_port), ports.input_explicit ? " (explicit)" : "",
          static_cast<unsigned>(options.monitors));
  const std::string ui_language = options.lang.value_or("en");
  LogInfo("[Main] Console mode: %s (background=%s, ui_language=%s)", state.console_mode.load() ? "on" : "off",
          background ? "on" : "off", ui_language.c_str());
  LogInfo("[Main] Capture defaults: output_index=%u backend=%s share_clipboard=%d",
          static_cast<unsigned>(state.capture_output_index.load()), CaptureBackendName(state.capture_backend.load()),
          state.share_clipboard.load() ? 1 : 0);

  // The virtual displays: the back-end with its availability, then the
  // monitors a crashed run left behind.
  vdd::UseSimulatedDesktopWhenPresent();
  HostVirtualDisplays virtual_displays(SystemClock());
  VirtualDisplayManager& display_manager = virtual_displays.manager();
  display_manager.RecoverFromLedger();
  const bool driver_available = display_manager.DriverAvailable();
  const std::string driver_detail = display_manager.GetAvailabilityDetail();
  const ExtendedDisplayDecision extended = DecideExtendedDisplay(saved, loaded.recognised, driver_available);
  state.extended_display.store(extended.enabled);
  state.extended_display_user_set.store(extended.user_set);
  if (extended.save_needed) {
    if (loaded.file == SettingsFileStatus::kUnreadable) {
      LogWarn("[Main] host_settings.ini could not be read; leaving it unchanged");
    } else {
      SaveCurrentHostSettings();
    }
  }
  LogInfo("[Main] Extended display: setting=%d user_set=%d driver=%s (%s)", extended.enabled ? 1 : 0,
          extended.user_set ? 1 : 0, driver_available ? "available" : "not available", driver_detail.c_str());
  display_manager.SetExtendedEnabled(extended.enabled);
  const std::unique_ptr<VddApplyController> apply_controller = MakeApplyController(display_manager);
  tvr_vdd::SetResolutionEventHandler(
      [controller = apply_controller.get()](tvr_vdd::ResolutionEvent event, uint32_t width, uint32_t height) {
        controller->OnResolutionEvent(event, width, height);
      });
  LogInfo("[Main] USB route requires native USB networking (no ADB bootstrap).");

  // The per-tablet display modes outlive each pool: every new pool starts
  // from the saved ones, and every change is saved at once.
  std::mutex modes_mu;
  TabletModeMap saved_modes;
  {
    TabletModesLoadResult modes = LoadTabletModes();
    if (modes.file == SettingsFileStatus::kUnreadable) {
      LogWarn("[Main] tablet_modes.ini could not be read; saved display modes are not applied");
    }
    saved_modes = std::move(modes.modes);
  }

  // One pairing-code manager for the whole run: wrong attempts and pauses
  // outlive a pool that the network loop starts again.
  const auto pairing_codes = std::make_shared<security::PairingCodeManager>();

  {
    NetworkLoop loop(state, SystemClock(),
                     [&state, pairing_codes](uint32_t tablet_count) -> std::unique_ptr<INetworkPool> {
                       SessionPoolEnvironment env;
                       env.make_session = MakeSessionManager;
                       // Every pool reads the trusted devices afresh; the host
                       // identity is loaded once per process.
                       auto trust = std::make_shared<security::DeviceTrust>();
                       trust->SetPairingCodeManager(pairing_codes);
                       trust->Load();
                       auto authenticator =
                           std::make_shared<TabletAuthenticator>(trust, security::SharedHostIdentity());
                       TabletAuthCallbacks callbacks;
                       callbacks.pairing_code_requested = [&state](const std::string& client_name,
                                                                   const std::string& code) {
                         if (state.console_mode.load()) PrintPairingCode(code, client_name);
                       };
                       authenticator->SetCallbacks(std::move(callbacks));
                       env.authenticator = std::move(authenticator);
                       return std::make_unique<SessionPool>(tablet_count, std::move(env));
                     },
                     options.monitors, ports);
    NetworkLoopHooks hooks;
    hooks.restore_speakers = RestoreSpeakers;
    hooks.configure_pool = [&state, &modes_mu, &saved_modes, &display_manager](INetworkPool& network_pool) {
      auto* pool = dynamic_cast<SessionPool*>(&network_pool);
      if (!pool) return;
      pool->SetVirtualDisplayManager(&display_manager);
      CaptureSettings capture;
      capture.output_index = state.capture_output_index.load();
      capture.backend = state.capture_backend.load();
      pool->ApplyCaptureSettings(capture);
      pool->SetTabletModesChangedCallback([&modes_mu, &saved_modes](const TabletModeMap& modes) {
        std::lock_guard<std::mutex> lock(modes_mu);
        saved_modes = modes;
        if (!SaveTabletModes(saved_modes)) LogWarn("[Main] Tablet display modes could not be saved");
      });
      std::lock_guard<std::mutex> lock(modes_mu);
      pool->LoadTabletModes(saved_modes);
    };
    loop.SetHooks(std::move(hooks));
    g_network_loop.store(&loop);
    if (state.shutdown_requested.load()) loop.StopActivePool();
    loop.Run();
    // Every thread that could reach the loop is stopped before it goes.
    console_handler.Remove();
    commands.Stop();
    g_network_loop.store(nullptr);
  }
  tvr_vdd::SetResolutionEventHandler({});
  apply_controller->Shutdown();
  display_manager.Shutdown();

  RestoreSpeakers();
  StopPlatform();
  LogInfo("[Main] Shutdown complete.");
  Logger::Instance().Shutdown();
  instance.Release();
  return 0;
}

}  // namespace orvane
