#include "viewer/window/presenter.h"

#include <algorithm>

#include "viewer/window/bitmap_font.h"

namespace sorvane::viewer {

namespace {

// Pixel formats of 4 bytes the converter can write; the window's own comes first.
bool four_byte_rgb(uint32_t format) {
    return format == SDL_PIXELFORMAT_RGB888 || format == SDL_PIXELFORMAT_ARGB8888 || format == SDL_PIXELFORMAT_BGR888 ||
           format == SDL_PIXELFORMAT_ABGR8888;
}

}  // namespace

Presenter::~Presenter() {
    if (texture_ != nullptr) SDL_DestroyTexture(texture_);
    if (renderer_ != nullptr) SDL_DestroyRenderer(renderer_);
    if (window_ != nullptr) SDL_DestroyWindow(window_);
}

std::unique_ptr<Presenter> Presenter::create(const PresenterOptions& options, std::string& error) {
    std::unique_ptr<Presenter> p(new Presenter());
    Uint32 flags = SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI;
    if (options.fullscreen) flags |= SDL_WINDOW_FULLSCREEN_DESKTOP;
    if (options.maximized) flags |= SDL_WINDOW_MAXIMIZED;
    p->window_ = SDL_CreateWindow(options.title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                                  static_cast<int>(std::max(1u, options.width)),
                                  static_cast<int>(std::max(1u, options.height)), flags);
    if (p->window_ == nullptr) {
        error = std::string("SDL_CreateWindow: ") + SDL_GetError();
        return nullptr;
    }
    // No vertical sync: a picture is shown the moment it is ready.
    p->renderer_ = SDL_CreateRenderer(p->window_, -1, 0);
    SDL_RendererInfo info{};
    if (p->renderer_ == nullptr || SDL_GetRendererInfo(p->renderer_, &info) != 0) {
        error = std::string("SDL_CreateRenderer: ") + SDL_GetError();
        return nullptr;
    }
    p->renderer_name_ = info.name != nullptr ? info.name : "?";
    const uint32_t own = SDL_GetWindowPixelFormat(p->window_);
    const uint32_t wanted[] = {own, SDL_PIXELFORMAT_RGB888, SDL_PIXELFORMAT_ARGB8888};
    bool chosen = false;
    for (uint32_t f : wanted) {
        for (uint32_t i = 0; i < info.num_texture_formats && !chosen; ++i) {
            if (four_byte_rgb(f) && info.texture_formats[i] == f) {
                p->format_ = f;
                chosen = true;
            }
        }
    }
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "linear");
    p->wake_type_ = SDL_RegisterEvents(1);
    if (p->wake_type_ == static_cast<uint32_t>(-1)) {
        error = "SDL has no user event left";
        return nullptr;
    }
    return p;
}

ViewMapping Presenter::input_mapping(uint32_t stream_w, uint32_t stream_h) const {
    int w = 0, h = 0;
    SDL_GetWindowSize(window_, &w, &h);
    return ViewMapping(static_cast<uint32_t>(std::max(0, w)), static_cast<uint32_t>(std::max(0, h)), stream_w, stream_h);
}

bool Presenter::upload(const Picture& picture) {
    if (texture_ == nullptr || texture_w_ != picture.width || texture_h_ != picture.height) {
        if (texture_ != nullptr) SDL_DestroyTexture(texture_);
        texture_ = SDL_CreateTexture(renderer_, format_, SDL_TEXTUREACCESS_STREAMING, static_cast<int>(picture.width),
                                     static_cast<int>(picture.height));
        texture_w_ = texture_h_ = 0;
        if (texture_ == nullptr) {
            error_ = std::string("SDL_CreateTexture: ") + SDL_GetError();
            return false;
        }
        texture_w_ = picture.width;
        texture_h_ = picture.height;
    }
    if (SDL_UpdateTexture(texture_, nullptr, picture.pixels.data(), static_cast<int>(picture.pitch)) != 0) {
        error_ = std::string("SDL_UpdateTexture: ") + SDL_GetError();
        return false;
    }
    return true;
}

void Presenter::fill_text(std::string_view text, int x, int y, int scale) {
    rects_.clear();
    for_each_text_pixel(text, scale, [&](int px, int py) { rects_.push_back({x + px, y + py, scale, scale}); });
    if (!rects_.empty()) SDL_RenderFillRects(renderer_, rects_.data(), static_cast<int>(rects_.size()));
}

bool Presenter::draw(const Picture* picture, const std::vector<std::string>& overlay, std::string_view banner,
                     RgbImage* capture) {
    if (picture != nullptr && !upload(*picture)) return false;
    int ow = 0, oh = 0;
    if (SDL_GetRendererOutputSize(renderer_, &ow, &oh) != 0) {
        error_ = std::string("SDL_GetRendererOutputSize: ") + SDL_GetError();
        return false;
    }
    SDL_SetRenderDrawBlendMode(renderer_, SDL_BLENDMODE_BLEND);
    SDL_SetRenderDrawColor(renderer_, 0, 0, 0, 255);
    const ViewRect r = letterbox(static_cast<uint32_t>(ow), static_cast<uint32_t>(oh), texture_w_, texture_h_);
    // Black bars only where the picture leaves room (a clear costs a whole frame's writes).
    if (texture_ == nullptr || r.w != ow || r.h != oh) SDL_RenderClear(renderer_);
    if (texture_ != nullptr) {
        const SDL_Rect dst{r.x, r.y, r.w, r.h};
        if (SDL_RenderCopy(renderer_, texture_, nullptr, &dst) != 0) {
            error_ = std::string("SDL_RenderCopy: ") + SDL_GetError();
            return false;
        }
    }
    if (!banner.empty()) {
        SDL_SetRenderDrawColor(renderer_, 0, 0, 0, 160);
        SDL_RenderFillRect(renderer_, nullptr);
        const int scale = std::clamp(ow / (text_width(banner, 1) * 3 + 1), 1, 6);
        SDL_SetRenderDrawColor(renderer_, 255, 255, 255, 255);
        fill_text(banner, (ow - text_width(banner, scale)) / 2, (oh - kGlyphHeight * scale) / 2, scale);
    }
    if (!overlay.empty()) {
        const int scale = oh >= 900 ? 3 : 2, line = (kGlyphHeight + 3) * scale, pad = 2 * scale;
        int width = 0;
        for (const std::string& l : overlay) width = std::max(width, text_width(l, scale));
        const SDL_Rect box{0, 0, width + 2 * pad, static_cast<int>(overlay.size()) * line + 2 * pad - 3 * scale};
        SDL_SetRenderDrawColor(renderer_, 0, 0, 0, 176);
        SDL_RenderFillRect(renderer_, &box);
        SDL_SetRenderDrawColor(renderer_, 255, 255, 0, 255);
        for (size_t i = 0; i < overlay.size(); ++i) fill_text(overlay[i], pad, pad + static_cast<int>(i) * line, scale);
    }
    if (capture != nullptr) {
        capture->width = static_cast<uint32_t>(ow);
        capture->height = static_cast<uint32_t>(oh);
        capture->pixels.resize(size_t{capture->width} * capture->height * 3);
        if (SDL_RenderReadPixels(renderer_, nullptr, SDL_PIXELFORMAT_RGB24, capture->pixels.data(), ow * 3) != 0) {
            error_ = std::string("SDL_RenderReadPixels: ") + SDL_GetError();
            *capture = RgbImage{};
            return false;
        }
    }
    SDL_RenderPresent(renderer_);
    return true;
}

void Presenter::wake() {
    if (wake_pending_.exchange(true)) return;
    SDL_Event e{};
    e.type = wake_type_;
    if (SDL_PushEvent(&e) != 1) wake_pending_.store(false);
}

bool Presenter::is_wake(const SDL_Event& event) {
    if (event.type != wake_type_) return false;
    wake_pending_.store(false);
    return true;
}

}  // namespace sorvane::viewer
