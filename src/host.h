// What the program's module shares beyond itself: its process-wide state and
// the functions that the tests drive on their own thread. The module includes
// this header too, so a declaration that drifts from its definition fails to
// build.
#pragma once

#include <windows.h>
#include <shellapi.h>
#include <wrl/client.h>

#include <filesystem>

#include "webview2.h"

// The garden window's class and title, by which the setup and tools find it,
// and the title of the owner window, of the same class, which holds the tray
// icon.
constexpr const wchar_t* gardenClass = L"VerdaluneGardenWindow";
constexpr const wchar_t* gardenTitle = L"Verdalune 情绪花园";
constexpr const wchar_t* ownerTitle = L"Verdalune 菜单";
// The caption of every box the program shows.
constexpr const wchar_t* caption = L"Verdalune";
// The tray icon's callback message.
constexpr UINT trayMessage = WM_APP + 1;
// Posted to the owner window when the garden is lost; wParam 1: its browser.
constexpr UINT lostMessage = WM_APP + 2;
// Posted to the owner window to move the garden to a newer runtime.
constexpr UINT renewMessage = WM_APP + 3;
// Posted to the owner window once the page's backup has been written, or has failed.
constexpr UINT savedMessage = WM_APP + 4;
// Asks Progman to put a worker window behind the desktop icons.
constexpr UINT spawnWorker = 0x052C;
// The tray menu's items, top to bottom, and their texts in that order.
enum TrayItem : UINT { plantItem = 1, menuItem, wallItem, quitItem };
constexpr const wchar_t* trayTexts[] = {L"种下今天", L"花园菜单", L"回到壁纸", L"退出 Verdalune"};
constexpr const wchar_t* trayTip = L"Verdalune · 种下今天";

extern HWND view;
extern HWND owner;
extern Microsoft::WRL::ComPtr<ICoreWebView2Controller> controller;
extern Microsoft::WRL::ComPtr<ICoreWebView2> web;
extern NOTIFYICONDATAW icon;
extern UINT taskbarReady;
extern std::filesystem::path site;
extern bool onWall;
// Kept from start-up, so that a lost garden can be made again.
extern Microsoft::WRL::ComPtr<ICoreWebView2Environment> environment;
// Why nobody can see the wall now (bits of Unseen in the module).
extern int unseen;
// Rebuilds since the page last spoke; unresponsive reports in a row.
extern int rebuilds;
extern int hangs;

LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void trayMenu();
void fail(const wchar_t* text);
void position(bool wall);
BOOL CALLBACK findHost(HWND top, LPARAM out);
void resize();
void command(const wchar_t* word);
void makeView();
void rebuild();
void askController();
void quit(int code);
void CALLBACK destroyed(HWINEVENTHOOK hook, DWORD event, HWND window, LONG object, LONG child, DWORD thread, DWORD time);
