^sub: .+
