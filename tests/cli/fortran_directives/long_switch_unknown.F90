      end
