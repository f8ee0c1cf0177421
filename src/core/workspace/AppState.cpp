#include "core/workspace/AppState.h"

AppState::AppState(QString appDirectory) : m_appDirectory(std::move(appDirectory)) {}
